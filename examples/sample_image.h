// The built-in sample device image and the host-side helpers around it.
#ifndef TARN_EXAMPLES_SAMPLE_IMAGE_H
#define TARN_EXAMPLES_SAMPLE_IMAGE_H

#include <string>
#include <vector>

#include "host_api.h"

constexpr uint32_t kSampleSku = 1;

// The text dumps of the tables that the library appends to, in the working
// folder, at a kept shutdown.
inline constexpr const char* kDumpNames[] = {"qel_cfg.txt", "orvan_cfg.txt", "currents_cfg.txt"};

// Makes every buffer of the sample image through the library's own entry
// points. Prints what fails and returns false then.
bool makeSampleImage(Image& image);

// A configuration partition holding `fcs`: the 16-byte header, then the
// buffer. Empty when `fcs` is.
Bytes qelcPartition(const Bytes& fcs);

// The file names of the SKU's table in a file-table blob, in table order.
std::vector<std::string> fileNames(const Bytes& ftbl, uint32_t sku);

// Runs the session on the image's buffers (the regions change in place) and
// fills `overrides` with the rebuilt overrides table. A session that fails
// leaves the text dumps in the working folder as it found them.
bool runSession(Image& image, Bytes& overrides);

#endif  // TARN_EXAMPLES_SAMPLE_IMAGE_H
