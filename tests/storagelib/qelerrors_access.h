// Test-only read access to the catalogue's private tables.
#ifndef TARN_TESTS_STORAGELIB_QELERRORS_ACCESS_H
#define TARN_TESTS_STORAGELIB_QELERRORS_ACCESS_H

#include <map>
#include <string>

#include "storagelib/qelerrors.h"

struct QelErrorsInspector {
  static const std::map<ImageToolsErrorName, std::string>& names() {
    return QelErrors::s_imageToolsErrorNameStringMap;
  }
  static const std::map<ImageToolsErrorType, std::string>& types() {
    return QelErrors::s_imageToolsErrorTypeStringMap;
  }
  // Back to the state the library is loaded in: both tables empty.
  static void emptyTables() {
    QelErrors::s_imageToolsErrorNameStringMap.clear();
    QelErrors::s_imageToolsErrorTypeStringMap.clear();
  }
};

#endif
