// The store's handle API with each of its allocations failing in turn. A
// call either succeeds with the result it gives when nothing fails, or
// returns a failure status and leaves the table as it was (a failed load
// leaves no handle); nothing leaks.
#include <cstring>

#include "fcs/fcs_test_table.h"
#include "support/alloc_fail/alloc_fail.h"

using namespace fcs_test;
using tarn_test::AllocWindow;
using tarn_test::alloc_failure_injected;
using tarn_test::sweep_allocations;

namespace {

std::vector<FcsRecord> loadedRecords() {
  return {rec("/home/b", pattern(5, 1), 0x0001), rec("a", {}), rec(kLongName(), pattern(7, 2))};
}

// The buffer the sweeps load: the records above with payloads in reverse
// order, and one record the file table does not know.
Bytes hostBuffer() {
  std::vector<FcsRecord> records = loadedRecords();
  FcsRecord unknown = rec("x", pattern(3, 9));
  unknown.fileno = kUnknownFileno;
  records.insert(records.begin() + 1, unknown);
  return tarn_test::write_fcs_buffer_reversed_payloads(records);
}

Bytes flushOf(std::vector<FcsRecord> records) { return tarn_test::write_fcs_buffer_by_name(records); }

class FcsAllocSweep : public FcsTest {
 protected:
  // A handle holding loadedRecords(), opened with nothing failing.
  void loadHandle() {
    Bytes buffer = hostBuffer();
    ASSERT_EQ(FCS_OK, createHandleFromStructure(&handle, buffer.data(), static_cast<uint32_t>(buffer.size())));
  }
};

TEST_F(FcsAllocSweep, CreateAndLoad) {
  const size_t createRuns = sweep_allocations([&](size_t) {
    FCS_HANDLE created = reinterpret_cast<FCS_HANDLE>(this);
    int status;
    {
      AllocWindow window;
      status = createHandle(&created);
    }
    if (status != FCS_OK) {
      EXPECT_TRUE(alloc_failure_injected());
      EXPECT_EQ(FCS_ERR_OUT_OF_MEMORY, status);
      EXPECT_EQ(reinterpret_cast<FCS_HANDLE>(this), created);  // untouched
      return;
    }
    EXPECT_EQ(Bytes({0, 0, 0, 0}), flushAll(created));
    closeHandle(&created);
  });
  EXPECT_GE(createRuns, 4u);  // the record, the root, the iterator, and a clean run

  Bytes buffer = hostBuffer();
  const size_t loadRuns = sweep_allocations([&](size_t) {
    int status;
    {
      AllocWindow window;
      status = createHandleFromStructure(&handle, buffer.data(), static_cast<uint32_t>(buffer.size()));
    }
    if (status != FCS_OK) {
      EXPECT_TRUE(alloc_failure_injected());
      EXPECT_TRUE(status == FCS_ERR_OUT_OF_MEMORY || status == FCS_ERR_LOAD_FAILED) << status;
      EXPECT_EQ(nullptr, handle);
      return;
    }
    EXPECT_EQ(flushOf(loadedRecords()), flushAll(handle));
    closeHandle(&handle);
  });
  EXPECT_GT(loadRuns, createRuns);
}

// Each call on a loaded handle, in a sweep of its own. `changed` is what the
// table must hold after the call succeeded; after a failure it must hold
// loadedRecords() still.
TEST_F(FcsAllocSweep, CallsOnALoadedHandle) {
  std::vector<FcsRecord> added = loadedRecords();
  added.push_back(rec("B", pattern(40, 3)));
  std::vector<FcsRecord> deleted = loadedRecords();
  deleted.erase(deleted.begin());

  Bytes record = tarn_test::fcs_record(rec("B", pattern(40, 3)));

  struct Case {
    const char* what;
    std::function<int()> call;  // made inside the window
    std::vector<FcsRecord> changed;
  };
  const std::vector<Case> cases = {
      {"add",
       [&] { return addNewFile(handle, "", "B", record.data(), static_cast<uint16_t>(record.size()), true); },
       added},
      {"delete", [&] { return deleteFile(handle, "/home/b"); }, deleted},
      {"delete by path", [&] { return deleteFile(handle, "a/"); },
       {loadedRecords()[0], loadedRecords()[2]}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sweep_allocations([&](size_t) {
      loadHandle();
      int status;
      {
        AllocWindow window;
        status = c.call();
      }
      if (status == FCS_OK) {
        EXPECT_EQ(flushOf(c.changed), flushAll(handle));
      } else {
        EXPECT_TRUE(alloc_failure_injected());
        EXPECT_EQ(FCS_ERR_OUT_OF_MEMORY, status);
        EXPECT_EQ(flushOf(loadedRecords()), flushAll(handle));
      }
      closeHandle(&handle);
    });
  }
}

// Reads leave the table alone: each gives its result or 9, and the caller's
// buffers stay untouched on 9.
TEST_F(FcsAllocSweep, ReadsListingAndFlush) {
  const Bytes expectedFlush = flushOf(loadedRecords());
  sweep_allocations([&](size_t) {
    loadHandle();
    Bytes out(expectedFlush.size() + 8, 0xEE);
    uint32_t size = 0;
    int query, fill = FCS_ERR_OUT_OF_MEMORY;
    {
      AllocWindow window;
      query = flush(handle, out.data(), &size);
      if (query == FCS_ERR_BUFFER_TOO_SMALL) fill = flush(handle, out.data(), &size);
    }
    if (fill == FCS_OK) {
      EXPECT_EQ(expectedFlush, Bytes(out.begin(), out.begin() + size));
    } else {
      EXPECT_TRUE(alloc_failure_injected());
      EXPECT_EQ(FCS_ERR_OUT_OF_MEMORY, query == FCS_ERR_BUFFER_TOO_SMALL ? fill : query);
      EXPECT_EQ(Bytes(out.size(), 0xEE), out);
    }
    closeHandle(&handle);
  });

  // The long name's payload lies first behind the four headers.
  const Bytes expectedRecord = tarn_test::fcs_record(loadedRecords()[2], 4 + 12 * 4);
  sweep_allocations([&](size_t) {
    loadHandle();
    Bytes record(100, 0xEE);
    uint32_t size = 100;
    cfg_file_entry_with_file_attributes_t attributes;
    std::memset(&attributes, 0xEE, sizeof attributes);
    std::vector<std::string> names;
    int read, attr, listing;
    {
      AllocWindow window;
      read = getFileData(handle, kLongName().c_str(), record.data(), &size);
      attr = getFileAttributes(handle, kLongName().c_str(), &attributes);
      char name[FCS_FILE_NAME_BUFFER_SIZE];
      for (listing = getFirstFileInRoot(handle, name); listing == FCS_OK; listing = getNextFile(handle, name)) {
        tarn_test::AllocPause pause;
        names.push_back(name);
      }
    }
    if (read == FCS_OK)
      EXPECT_EQ(expectedRecord, Bytes(record.begin(), record.begin() + size));
    else
      EXPECT_EQ(Bytes(100, 0xEE), record);
    if (attr == FCS_OK) {
      EXPECT_EQ(0, std::memcmp(&attributes, expectedRecord.data(), 12));
      EXPECT_EQ(kLongAttributes, attributes.file_attributes.value);
    }
    if (listing == FCS_ERR_NO_MORE_FILES) {
      EXPECT_EQ((std::vector<std::string>{"/home/b", kLongName(), "a"}), names);
    }
    for (int status : {read, attr, listing == FCS_ERR_NO_MORE_FILES ? FCS_OK : listing}) {
      if (status != FCS_OK) {
        EXPECT_TRUE(alloc_failure_injected());
        EXPECT_EQ(FCS_ERR_OUT_OF_MEMORY, status);
      }
    }
    closeHandle(&handle);
  });
}

}  // namespace
