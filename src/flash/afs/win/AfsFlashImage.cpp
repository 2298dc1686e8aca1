// Binding of the flash image that the driver in AfsFlashDrv.cpp works on.
#include "flash/afs/AfsInnerDefs.h"

extern "C" {

uint8_t* gpBuffer = nullptr;

uint32_t SpiFlashDrvInitialize(void* pContext) {
  gpBuffer = static_cast<uint8_t*>(pContext);
  return AFS_STATUS_OK;
}

// The image stays bound for the life of the process; a later initialisation
// replaces the pointer.
void SpiFlashDrvDeinitialize(void) {}

}  // extern "C"
