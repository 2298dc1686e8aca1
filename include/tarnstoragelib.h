// The host's view of TarnStorageLib: the configuration record a host starts
// the library with, the names of the configuration tables, the types a host
// needs to receive status reports, and the entry points: state queries,
// start-up and shutdown, named variables and the minimal VFS. The host binds
// the library's entry points by name; on 32-bit x86 every entry point and the
// status callback use the caller-cleans (cdecl) convention.
//
// This header is self-contained: it needs nothing but the C++ standard headers
// and can be included first in any translation unit.
#ifndef TARNSTORAGELIB_H
#define TARNSTORAGELIB_H

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define TARN_CDECL __cdecl
#else
#define TARN_CDECL
#endif

// Fixed-width names used in the host interface.
typedef uint8_t U8;
typedef uint32_t U32;

// Severity of a report. The library itself sends only Debug and Error; a report
// made at UserError reaches the host as Error.
enum ErrorLevel : int32_t {
  Debug = 0,
  Info = 1,
  Warning = 2,
  UserError = 3,
  Error = 4,
};

// Error names carried by every status report. The host receives the numeric
// value, so every enumerator keeps its value for good: values are never
// reused or renumbered (49 is unassigned). ErrorListCount closes the list and
// names no error.
enum ImageToolsErrorName : int32_t {
  ErrorNone = 0,
  ErrorInit = 1,
  ErrorBuild = 2,
  ErrorBuildGeneral = 3,
  ErrorBuildEnumeration = 4,
  ErrorBuildAttribute = 5,
  ErrorBuildingResources = 6,
  ErrorDecomp = 7,
  ErrorDecompKsopData = 8,
  ErrorDecompImage = 9,
  ErrorDecompRegion = 10,
  ErrorDecompAttribute = 11,
  ErrorDecompAttributeActions = 12,
  ErrorDecompNodeNotFound = 13,
  ErrorDecompClass = 14,
  ErrorDecompNotReady = 15,
  ErrorDecompRomBypass = 16,
  ErrorDecompBootPartition = 17,
  ErrorDecompGenFiles = 18,
  ErrorDecompBpdtEntry = 19,
  ErrorPreBuildActions = 20,
  ErrorPostBuildActions = 21,
  ErrorIntFileWr = 22,
  ErrorInvalAlignment = 23,
  ErrorOrphanAttribute = 24,
  ErrorBufferOutOfBound = 25,
  ErrorUnresolvedNativeType = 26,
  ErrorDataConversion = 27,
  ErrorInvalidHFileOutPath = 28,
  ErrorRound = 29,
  ErrorUpdateAttribute = 30,
  ErrorPostDecompActions = 31,
  ErrorMissingAttribute = 32,
  ErrorSign = 33,
  ErrorBrxCfg = 34,
  ErrorInvalidOptions = 35,
  ErrorInvalidSku = 36,
  ErrorSetLogFile = 37,
  ErrorFileNotFound = 38,
  ErrorFileWrongName = 39,
  ErrorInvalidVscc = 40,
  ErrorOpenNew = 41,
  ErrorOpenProcessed = 42,
  ErrorParsingXml = 43,
  ErrorParsingXmlSettings = 44,
  ErrorWritingFullImage = 45,
  ErrorFileNotFoundRegion = 46,
  ErrorInvalidFileType = 47,
  ErrorInvalidVsccFile = 48,
  ErrorGuiNotSupported = 50,
  ErrorZreRegionBuild = 51,
  ErrorLayoutDocument = 52,
  ErrorCfgDocument = 53,
  ErrorOpenLayoutFile = 54,
  ErrorInvalidRootNode = 55,
  ErrorUnknownRootNode = 56,
  ErrorInvalidCfgXmlTag = 57,
  ErrorInvalCfgChildTag = 58,
  ErrorInvalidCfgClassInstance = 59,
  ErrorMissingTag = 60,
  ErrorResolvingTargets = 61,
  ErrorFailedToGenDependsMap = 62,
  ErrorLoadingNativeTypes = 63,
  ErrorInvalidXmlValue = 64,
  ErrorCliVersionMajor = 65,
  ErrorCliVersionMinor = 66,
  ErrorCliVersionHotFix = 67,
  ErrorCliVersionBuild = 68,
  ErrorCliInternalBuildVersion = 69,
  ErrorCliSigningKey = 70,
  ErrorCliMfsPath = 71,
  ErrorCliLoclInstanceId = 72,
  ErrorCliWcodInstanceId = 73,
  ErrorCliMdmvInstanceId = 74,
  ErrorCliEnablePartition = 75,
  ErrorCliDisablePartition = 76,
  ErrorCliSetPartLength = 77,
  ErrorCliLoclUpvVersion = 78,
  ErrorCliWcodUpvVersion = 79,
  ErrorCliMdmvUpvVersion = 80,
  ErrorCliTcbSvn = 81,
  ErrorCliArbSvn = 82,
  ErrorCliVcn = 83,
  ErrorCliSkuVal = 84,
  ErrorCliUmasize = 85,
  ErrorCliHuff2Lzma = 86,
  ErrorCliKyLength = 87,
  ErrorCliRomBypassFileName = 88,
  ErrorCliQhuVersion = 89,
  ErrorCliDataVer = 90,
  ErrorNoXmlVersionSpecified = 91,
  ErrorXmlVersionIncorrectFormat = 92,
  ErrorXmlVersionBelowMin = 93,
  ErrorXmlVersionAboveCurrent = 94,
  ErrorOpenConfigFile = 95,
  ErrorCliHeaderOutDir = 96,
  ErrorCliAfsSkuId = 97,
  ErrorOpeningFile = 98,
  ErrorWrite = 99,
  ErrorWriteSizeMismatch = 100,
  ErrorReadingTextFile = 101,
  ErrorSettingNotFound = 102,
  ErrorSettingInvalidType = 103,
  ErrorTargetAttribute = 104,
  ErrorSourceAttribute = 105,
  ErrorWriteToBuffer = 106,
  ErrorUnresolvedAttribute = 107,
  ErrorLoadBinOpenFile = 108,
  ErrorUpdateBufferOffset = 109,
  ErrorInvalidU64Format = 110,
  ErrorLoadNvars = 111,
  ErrorCalcOffsetOverflow = 112,
  ErrorCastBuffer = 113,
  ErrorStringTooLong = 114,
  ErrorEmptyString = 115,
  ErrorCheckLength = 116,
  ErrorWriteFile = 117,
  ErrorInvalidJsonParams = 118,
  ErrorLoadBinEmptyFile = 119,
  ErrorInvalidHash = 120,
  ErrorInvalidParams = 121,
  ErrorBufferOverflow = 122,
  ErrorGetSystemDate = 123,
  ErrorInvalCheckSumParams = 124,
  ErrorRoundToCalc = 125,
  ErrorMissingClass = 126,
  ErrorInvalidSigningKey = 127,
  ErrorGenSignature = 128,
  ErrorOrvanCfg = 129,
  ErrorOrvanCfgSha2 = 130,
  ErrorEncrypt = 131,
  ErrorGenIndependentPartList = 132,
  ErrorPermissionExtension = 133,
  ErrorThreadAttrExtension = 134,
  ErrorDeviceTypeExtension = 135,
  ErrorMMIORangeExtension = 136,
  ErrorFilesProdExtension = 137,
  ErrorAddGroupIds = 138,
  ErrorUserInfoExtension = 139,
  ErrorAdjustFtupEntry = 140,
  ErrorFoundIupBeforeNftp = 141,
  ErrorUnexpectedIupEntry = 142,
  ErrorFtupSmallerThanFptr = 143,
  ErrorFptEntriesOverflow = 144,
  ErrorInvalidUser = 145,
  ErrorUpdatePartitionOffsets = 146,
  ErrorMissingPartitionParameters = 147,
  ErrorMissingPartitionInstance = 148,
  ErrorUpdatingPartitionOffsets = 149,
  ErrorGenPfuImage = 150,
  ErrorRunnableRegionOrdering = 151,
  ErrorDisableAttr = 152,
  ErrorInvalidRunnableRegion = 153,
  ErrorMakeModuleFailed = 154,
  ErrorGetElfInfo = 155,
  ErrorMakeModule = 156,
  ErrorParseModuleMeta = 157,
  ErrorElfToBinFailed = 158,
  ErrorGetSectionDataFailed = 159,
  ErrorInvalidModuleType = 160,
  ErrorMakeLibrary = 161,
  ErrorMissingThreadStackSize = 162,
  ErrorMissingCM0HeapSize = 163,
  ErrorMissingDefaultHeapSize = 164,
  ErrorInvalidCM0HeapValue = 165,
  ErrorInvalidDefaultHeapValue = 166,
  ErrorFlRegNotFound = 167,
  ErrorRegionLimit = 168,
  ErrorRegionBase = 169,
  ErrorRegionsClass = 170,
  ErrorMissingLength = 171,
  ErrorFilePath = 172,
  ErrorRegionSize = 173,
  ErrorNotEnoughSpace = 174,
  ErrorMissingDataTarget = 175,
  ErrorUpdateDataTarget = 176,
  ErrorLoadingZreRegion = 177,
  ErrorMalloc = 178,
  ErrorZreParse = 179,
  ErrorOutOfSpace = 180,
  ErrorZrePrepBuild = 181,
  ErrorInvalidVsccEntry = 182,
  ErrorBpdtOverflow = 183,
  ErrorInvalidDescOffset = 184,
  ErrorInvalidDescSize = 185,
  ErrorProcessRomBypass = 186,
  ErrorLoadingQasImage = 187,
  ErrorQasFileSize = 188,
  ErrorZreBuildPrep = 189,
  ErrorPkiSuffix = 190,
  ErrorCertHash = 191,
  ErrorSha1NotSupported = 192,
  ErrorGUID = 193,
  ErrorGbeParse = 194,
  ErrorGbeTooSmall = 195,
  ErrorInvalidRegionOrder = 196,
  ErrorInvalidSettings = 197,
  ErrorLoadingToken = 198,
  ErrorTokenParse = 199,
  ErrorLoadingIdlmBinary = 200,
  ErrorIdlmParse = 201,
  ErrorVrProfile = 202,
  ErrorSarnupImageGeneration = 203,
  ErrorStringSize = 204,
  ErrorGenZreDataPartition = 205,
  ErrorLoadingWhxBinary = 206,
  ErrorLoadingCsinBinary = 207,
  ErrorChipsetInitBaseInvalid = 208,
  ErrorChipsetInitInvalidType = 209,
  ErrorImageMetadataNotFound = 210,
  ErrorInvalidImageMetadata = 211,
  ErrorGenImageMetadata = 212,
  ErrorLoadingQelcBinary = 213,
  ErrorFindAttr = 214,
  ErrorGetGpioClass = 215,
  ErrorMapGpioClasses = 216,
  ErrorNvarFileSize = 217,
  ErrorNvarIo = 218,
  ErrorTargetType = 219,
  ErrorLoadBiosImage = 220,
  ErrorCfgPlimLayout = 221,
  ErrorPrepPlimComp = 222,
  ErrorLoadKyComp = 223,
  ErrorInvalSubPart = 224,
  ErrorBufferOutBounds = 225,
  ErrorUpdateOffset = 226,
  ErrorPrepFtpr = 227,
  ErrorCalcSizes = 228,
  ErrorUpdateData = 229,
  ErrorGetKyData = 230,
  ErrorOemMn2Input = 231,
  ErrorOemMn2Build = 232,
  ErrorKsopBuild = 233,
  ErrorKsopLoad = 234,
  ErrorKsopWrite = 235,
  ErrorRombBuild = 236,
  ErrorInputFile = 237,
  ErrorInvalidDecompImage = 238,
  ErrorInvalRqdImage = 239,
  ErrorInvalSpiFlashCount = 240,
  ErrorInvalFlashSize = 241,
  ErrorValidateKeyManifest = 242,
  ErrorValidatePublicKeyHash = 243,
  ErrorBpdtChecksumCalc = 244,
  ErrorPadding = 245,
  ErrorInvalBrxPath = 246,
  ErrorBrxSign = 247,
  ErrorInvalKeyPath = 248,
  ErrorInvalSigningToolPath = 249,
  ErrorLoadingDataSubPartition = 250,
  GeneralError = 251,
  ErrorCfgAttrNotFound = 252,
  ErrorSetCfgAttr = 253,
  ErrorImrRangeOutRange = 254,
  ErrorPow2RoundUp = 255,
  ErrorImrTotalSizeLimit = 256,
  ErrorInvalidActionParams = 257,
  ErrorInvalidAttrParams = 258,
  ErrorMissingJSONParam = 259,
  ErrorNvarIndexConversionError = 260,
  ErrorNvarOffsetConversionError = 261,
  ErrorNvarBitHiConversionError = 262,
  ErrorNvarBitLoConversionError = 263,
  ErrorNvarFieldSizeConversionError = 264,
  ErrorNvarFileSizeConversionError = 265,
  ErrorNvarWrite = 266,
  ErrorNvarRead = 267,
  ErrorInvalidAction = 268,
  ErrorInvalidTargetLength = 269,
  ErrorInvalidBitfield = 270,
  ErrorUpdateCfgAttr = 271,
  ErrorBinaryFileLoad = 272,
  ErrorBinaryFileNvarResize = 273,
  ErrorBinaryFileNvarTooBig = 274,
  ErrorCellTooSmall = 275,
  ErrorNvarTooSmall = 276,
  ErrorNvarParamsAdjust = 277,
  ErrorWritingNvarValue = 278,
  ErrorReadingNvarValue = 279,
  ErrorBinaryFileWrite = 280,
  ErrorCertNvarSize = 281,
  ErrorCertNvarNameSize = 282,
  ErrorIntFileSave = 283,
  ErrorDataAccess = 284,
  ErrorDuplicateId = 285,
  ErrorDuplicateName = 286,
  ErrorDuplicateGroupName = 287,
  ErrorLoopGrpDef = 288,
  ErrorInvalGrpName = 289,
  ErrorInvalRawValue = 290,
  ErrorInvalSyscallName = 291,
  ErrorInvalSyscallIndex = 292,
  ErrorInvalGrpNameUsedInModule = 293,
  ErrorHFileDefinition = 294,
  ErrorInvalGroupValue = 295,
  ErrorUninitialized = 296,
  ErrorInternal = 297,
  ErrorFindingModuleNames = 298,
  ErrorResolvingType = 299,
  ErrorWritingReport = 300,
  ErrorGeneratingCode = 301,
  ErrorDuplicateProcessName = 302,
  ErrorDuplicateProcessId = 303,
  ErrorWriteFileError = 304,
  ErrorDuplicateUserName = 305,
  ErrorDuplicateFileLabel = 306,
  ErrorDuplicateServiceLabel = 307,
  ErrorDuplicateGroupId = 308,
  ErrorDuplicateUserId = 309,
  ErrorReadFileOpen = 310,
  ErrorReadingData = 311,
  ErrorSizeRequestedTooLarge = 312,
  ErrorWriteFileOpen = 313,
  ErrorAppend = 314,
  ErrorCreatingDirTree = 315,
  ErrorLzmaError = 316,
  ErrorLzmaExtractError = 317,
  ErrorFormat = 318,
  ErrorUnknownProject = 319,
  ErrorInvalidPointer = 320,
  ErrorNoMemory = 321,
  ErrorRemovingFcsFileEntry = 322,
  ErrorMfsNotInitialized = 323,
  ErrorFcsNotInitialized = 324,
  ErrorProcessingFcsEntries = 325,
  ErrorDuplicateFile = 326,
  ErrorFileAlreadyInUseByOtherTable = 327,
  ErrorFcsCreateHandle = 328,
  ErrorFcsGetFile = 329,
  ErrorFcsGetFileAttributes = 330,
  ErrorFcsAddNewFile = 331,
  ErrorFcsDeleteFile = 332,
  ErrorFcsFlush = 333,
  ErrorFcsInvalidFile = 334,
  ErrorTerm = 335,
  ErrorGetFileSize = 336,
  ErrorDelete = 337,
  ErrorUnableToDecomposeImage = 338,
  ErrorMfsInitError = 339,
  ErrorEfsInitError = 340,
  ErrorLoadingOrvanCfg = 341,
  ErrorLoadingQelCfg = 342,
  ErrorCreatingCurrentValsTable = 343,
  ErrorGenCurrentValsTable = 344,
  ErrorCreatingNewQelCfg = 345,
  ErrorAccessError = 346,
  ErrorFWCodeGeneration = 347,
  ErrorInvalidKyVersion = 348,
  ErrorModuleNotFound = 349,
  ErrorActionNotFound = 350,
  ErrorActionFailure = 351,
  ErrorLoadInputXml = 352,
  ErrorCli = 353,
  ErrorSaveXML = 354,
  ErrorInvalidXmlTemplate = 355,
  ErrorCliVersion = 356,
  ErrorToolConfigFile = 357,
  ErrorInvalidSigningTool = 358,
  ErrorSigningToolConfig = 359,
  ErrorInvalidDecompType = 360,
  ErrorInvalidXmlFile = 361,
  ErrorInvalidIndex = 362,
  ErrorFindManifests = 363,
  ErrorInvalidDirectory = 364,
  ErrorFindingFiles = 365,
  ErrorReadFile = 366,
  ErrorImportManifest = 367,
  ErrorResignManifest = 368,
  ErrorGenKeyHash = 369,
  ErrorExportManifest = 370,
  ErrorInvalidBufferOverflow = 371,
  ErrorSigningFailed = 372,
  ErrorLoadFileError = 373,
  ErrorInvalidValue = 374,
  ErrorPartIdParseError = 375,
  ErrorSavePartId = 376,
  ErrorRemoveDirectory = 377,
  ErrorSignatureVerification = 378,
  ErrorBpmGeneration = 379,
  ErrorInvalidRqdConfiguration = 380,
  ErrorFailToBuildRqdImage = 381,
  ErrorParsingInvalidKy = 382,
  ErrorParsingManifest = 383,
  ErrorParsingMissingPartition = 384,
  ErrorModifyingInvalidKy = 385,
  ErrorModifyingWcod = 386,
  ErrorModifyingLocl = 387,
  ErrorBrxBuild = 388,
  ErrorOutputFileNameNotSet = 389,
  ErrorInvalOemKeyManifestPath = 390,
  ErrorCmdExecError = 391,
  ErrorUncompressedSize = 392,
  ErrorFileOpen = 393,
  ErrorInvalidLutSize = 394,
  ErrorUnsupportedKeySize = 395,
  ErrorUnsupportedHashAlgo = 396,
  ErrorMissinfUfsSizeDefinition = 397,
  ErrorCorruptedBuffer = 398,
  ErrorSignDesc = 399,
  ErrorCliCloFormat = 400,
  ErrorFtblLoadFail = 401,
  ErrorFusaNvarSize = 402,
  ErrorFusaNvarValue = 403,
  ErrorDqDqs = 404,
  ErrorGetVorData = 405,
  ErrorMegaManifestVersionFormat = 406,
  ErrorGbstBinary = 407,
  ErrorCliLogicalBPSize = 408,
  ErrorLoadingFdcrBinary = 409,
  ErrorSarnupNotSupportedLiteSku = 410,
  ErrorListCount = 411,
};

// Components that report errors. ErrorTypesCount closes the list.
enum ImageToolsErrorType : int32_t {
  ErrorTypeNone = 0,
  ErrorTypeActionProcessor = 1,
  ErrorTypeBinActions = 2,
  ErrorTypeConverter = 3,
  ErrorTypeZoltBinaryGen = 4,
  ErrorTypeQelActions = 5,
  ErrorTypeQelFileIo = 6,
  ErrorTypeQelUtils = 7,
  ErrorTypeFrameworkCLib = 8,
  ErrorTypeKyUtil = 9,
  ErrorTypeXmlProcessor = 10,
  ErrorTypeQel = 11,
  ErrorTypeRqdUtils = 12,
  ErrorTypePlimActions = 13,
  ErrorTypeImrActions = 14,
  ErrorTypeKsopController = 15,
  ErrorTypeGpioActions = 16,
  ErrorTypeKyMFS = 17,
  ErrorTypeNvarActions = 18,
  ErrorTypeManifest = 19,
  ErrorTypeManifestActions = 20,
  ErrorTypeCryptoActions = 21,
  ErrorTypeZoltActions = 22,
  ErrorTypeElfActions = 23,
  ErrorTypeHuffmanUtils = 24,
  ErrorTypeSystemResources = 25,
  ErrorTypeSysCallActions = 26,
  ErrorTypeImgUtil = 27,
  ErrorTypeImageMetadataGenerator = 28,
  ErrorTypesCount = 29,
};

// Status callback given by the host at start-up. It is called synchronously,
// on the caller's thread, from inside the library call that reports, with the
// severity, the error name, the error name's catalogue text (empty for
// ErrorNone) and a message. Both strings are NUL-terminated, belong to the
// library and are valid only during the call.
typedef void(TARN_CDECL* TarnStatusCallback)(ErrorLevel level, ImageToolsErrorName errorName,
                                             const char* errorNameText, const char* message);

// ---------------------------------------------------------------------------
// Host configuration
//
// The first argument of kyMfsTarnInit. The records are byte-packed: nothing
// lies between or after the fields, so a buffer's 32-bit size sits directly
// behind its pointer. Pointers take 8 bytes in the 64-bit build and 4 in the
// 32-bit build; everything else is the same in both. The host keeps
// ownership of every buffer. The library copies the defaults table, the
// configuration partition's table and the file table at start-up, and works
// on the MFS and EFS regions in place while it is initialised.
// ---------------------------------------------------------------------------
#pragma pack(push, 1)

// One host buffer. A size of 0 means the buffer is absent; a size with a
// null pointer is refused at start-up.
typedef struct _commonTarnTable {
  char* data;  // first byte of the buffer
  U32 size;    // length in bytes
} CommonTarnTable;

// The file-table blob ("ftbl.bin" with its "EFST" part) and the SKU whose
// tables are used.
typedef struct _ftblTable {
  CommonTarnTable commonData;
  U32 afsSkuId;
} FtblTable;

typedef struct _modQelStorageLibConfig {
  CommonTarnTable orvanCfgTable;  // defaults table (FCS buffer); mandatory
  CommonTarnTable qelcCfgTable;   // configuration partition: 16-byte header, then an FCS buffer
  CommonTarnTable mfsTable;       // MFS region (AFS partition image), used in place
  FtblTable ftblTable;            // file table; mandatory
  CommonTarnTable efsTable;       // EFS region, used in place
} ModQelStorageLibConfig;

#pragma pack(pop)

// The layout is shared with the host byte for byte.
static_assert(sizeof(void*) == 8 || sizeof(void*) == 4, "32- or 64-bit pointers");
#define TARN_PTR_SIZE sizeof(void*)
static_assert(sizeof(CommonTarnTable) == TARN_PTR_SIZE + 4, "CommonTarnTable: 12 / 8 bytes");
static_assert(offsetof(CommonTarnTable, data) == 0, "CommonTarnTable::data");
static_assert(offsetof(CommonTarnTable, size) == TARN_PTR_SIZE, "CommonTarnTable::size");
static_assert(sizeof(FtblTable) == TARN_PTR_SIZE + 8, "FtblTable: 16 / 12 bytes");
static_assert(offsetof(FtblTable, commonData) == 0, "FtblTable::commonData");
static_assert(offsetof(FtblTable, afsSkuId) == TARN_PTR_SIZE + 4, "FtblTable::afsSkuId");
static_assert(sizeof(ModQelStorageLibConfig) == 5 * TARN_PTR_SIZE + 24,
              "ModQelStorageLibConfig: 64 / 44 bytes");
static_assert(offsetof(ModQelStorageLibConfig, orvanCfgTable) == 0, "orvanCfgTable");
static_assert(offsetof(ModQelStorageLibConfig, qelcCfgTable) == 1 * (TARN_PTR_SIZE + 4),
              "qelcCfgTable at 12 / 8");
static_assert(offsetof(ModQelStorageLibConfig, mfsTable) == 2 * (TARN_PTR_SIZE + 4),
              "mfsTable at 24 / 16");
static_assert(offsetof(ModQelStorageLibConfig, ftblTable) == 3 * (TARN_PTR_SIZE + 4),
              "ftblTable at 36 / 24");
static_assert(offsetof(ModQelStorageLibConfig, efsTable) == 4 * (TARN_PTR_SIZE + 4) + 4,
              "efsTable at 52 / 36");
#undef TARN_PTR_SIZE

// ---------------------------------------------------------------------------
// Configuration tables
// ---------------------------------------------------------------------------

// Names of the three configuration tables. The values are DFS file numbers
// (media type 1, AFS files 6 to 9).
enum FcsFileName : int32_t {
  FcsFileNameOrvanCfg = 0x10000006,     // defaults
  FcsFileNameQelCfg = 0x10000007,       // overrides
  FcsFileNameCurrentsCfg = 0x10000008,  // current values
  FcsFileNameInvalid = 0x10000009,      // no table
};
static_assert(sizeof(FcsFileName) == 4, "FcsFileName is 32 bits");

// The host's table selector, turned into an FcsFileName by
// kyMfsGetFcsFileNameMapping.
enum FcsFileNameMap : int32_t {
  OrvanCfgMap = 0,
  QelCfgMap = 1,
  CurrentsCfg = 2,
};
static_assert(sizeof(FcsFileNameMap) == 4, "FcsFileNameMap is 32 bits");

// ---------------------------------------------------------------------------
// Library state
// ---------------------------------------------------------------------------
extern "C" {

// True while the MFS region is mounted. May be called at any time; false
// before start-up and after the library has been shut down.
bool TARN_CDECL kyMfsIsInitialized(void);

// True while the defaults, overrides and current-values tables are loaded.
bool TARN_CDECL kyFcsIsInitialized(void);

// ---------------------------------------------------------------------------
// Start-up and shutdown
// ---------------------------------------------------------------------------

// Starts the library with the host's buffers. Copies the file table, the
// defaults table and the configuration partition's table; loads the
// defaults, the overrides and the current values; mounts the MFS region and
// the EFS region in place when given; and, when the VFS in the MFS region is
// deployed, takes the current values from their VFS files. A start-up ends
// whatever an earlier one mounted before it mounts again. `statusCallback`
// may be null (nothing is reported then); it stays in force until the next
// start-up. Returns true when every step succeeded; every failure is
// reported through the callback.
bool TARN_CDECL kyMfsTarnInit(ModQelStorageLibConfig& config, TarnStatusCallback statusCallback);

// Rebuilds the overrides from the current values, writes them back to their
// VFS files when the VFS is deployed, and serialises them. With `skipMfsTerm`
// false the library then ends: the regions are unmounted and every table is
// released, so the host may free its buffers. With true it keeps running
// with the rebuilt overrides (fetched with kyMfsGetBuildQelCfgFcsBuffer) and
// appends text dumps of the three tables to "qel_cfg.txt", "orvan_cfg.txt"
// and "currents_cfg.txt" in the working directory.
bool TARN_CDECL kyMfsNvarTerm(bool skipMfsTerm);

// The overrides table serialised as an FCS buffer, and its size. The buffer
// belongs to the library and stays valid until the next kyMfsNvarTerm or
// kyMfsTarnInit. False, writing nothing, when there is none.
bool TARN_CDECL kyMfsGetBuildQelCfgFcsBuffer(char** buffer, U32& size);

// Bytes of the EFS region the loaded EFS geometry uses; the host's EFS
// buffer must hold at least this many.
int TARN_CDECL kyMfsGetEfsSize(void);

// Appends text dumps of the overrides, defaults and current-values tables to
// the three files named (a null name writes that dump to standard output):
// for each file "<path> (<size> bytes)", its payload in rows of 16 "%02x "
// bytes, and an empty line.
void TARN_CDECL kyMfsDumpFcsTables(const char* qelCfgName, const char* orvanCfgName,
                                   const char* currentsName);

// ---------------------------------------------------------------------------
// Named variables
//
// A path without the leading "/home/" gets it put in front. Buffers handed
// out belong to the library; they stay valid until the variable is resized
// again or its table is released or rebuilt (kyMfsNvarTerm, kyMfsTarnInit).
// ---------------------------------------------------------------------------

// The table name of a selector; an unknown selector gives
// FcsFileNameCurrentsCfg (and an internal-error report).
int TARN_CDECL kyMfsGetFcsFileNameMapping(FcsFileNameMap fcsFileNameMap);

// Whether the chosen table holds the path, accessible or not.
bool TARN_CDECL kymfsCheckNvarExists(const char* path, FcsFileName fcsTableIndex);

// The payload buffer and size of an accessible (overridable) variable of the
// chosen table; an empty one gives null and 0. `isUpdatable` (false for an
// integrity-protected variable while the VFS is deployed) and `maxFileSize`
// may be null.
bool TARN_CDECL kyMfsNvarGet(const char* path, U8** data, U32* dataSize, FcsFileName fcsTableIndex,
                             bool* isUpdatable, U32* maxFileSize);

// Sets the payload size of an accessible current value, keeping its leading
// bytes; bytes added are zero. Writes the (possibly moved) buffer through
// `newData`; size 0 gives null. The maximum size is enforced at shutdown: a
// larger value is left out of the rebuilt overrides.
bool TARN_CDECL kyMfsNvarResize(const char* path, U8** newData, U32 newDataSize);

// ---------------------------------------------------------------------------
// Minimal VFS: VFS files addressed by their file-table path
// ---------------------------------------------------------------------------

// Mounts an MFS region through the DFS dispatcher: 0, or 1 for any failure.
// The interface's own state is not changed.
int TARN_CDECL mini_vfs_init(void* image_buffer, uint32_t partition_size);

// The DFS file number of the path's file: 0, 1 when `dfs_file_number` is
// null, 2 when the selected file table lacks the path.
int TARN_CDECL pathToFileNumber(char* path, unsigned int* dfs_file_number);

// Reads up to `length` bytes at `offset` of the path's file: 0, 2 for an
// unknown path, 6 when the read fails.
int TARN_CDECL readVfs(char* path, unsigned int offset, void* buffer, unsigned int length);

}  // extern "C"

// Whether the VFS is deployed: the MFS region is mounted and its file
// "/home/mca/deploy" exists and is not empty. Exported under its C++ name.
bool TARN_CDECL kyMfsIsVfsDeployed();

#endif  // TARNSTORAGELIB_H
