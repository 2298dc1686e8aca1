// The error catalogue: a fixed English text for every error name a status
// report can carry, and a bracketed tag for every reporting component.
//
// The catalogue is empty until init() fills it; init() runs at every start-up
// before anything is reported. A lookup never changes the tables.
#ifndef TARN_STORAGELIB_QELERRORS_H
#define TARN_STORAGELIB_QELERRORS_H

#include <map>
#include <string>

#include "tarnstoragelib.h"

class QelErrors {
 public:
  QelErrors() = delete;

  // Fills both tables, dropping whatever they held, so a second call leaves
  // them exactly as the first. Always returns true; when memory for the
  // tables cannot be had they are left empty and every lookup falls back.
  static bool init();

  // A copy of the text of `name`'s row, or "General Error" when the name has
  // no row (also before init(), and for ErrorListCount). Never throws; when
  // the copy cannot be allocated the result is empty.
  static std::string getErrorNameString(ImageToolsErrorName name);

 private:
  friend struct QelErrorsInspector;  // read access for the tests

  static void initStringMaps();

  static std::map<ImageToolsErrorName, std::string> s_imageToolsErrorNameStringMap;
  static std::map<ImageToolsErrorType, std::string> s_imageToolsErrorTypeStringMap;
};

#endif  // TARN_STORAGELIB_QELERRORS_H
