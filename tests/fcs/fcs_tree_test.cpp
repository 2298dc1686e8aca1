// The configuration-file tree's classes on their own: names, records,
// ordering, path deletion, serialisation and the depth-first walk.
#include <gtest/gtest.h>

#include <cstring>

#include "fcs/Directory.h"
#include "fcs/File.h"
#include "fcs/FileIterator.h"
#include "support/fcs_buffer_writer.h"

using namespace image_editor;
using tarn_test::Bytes;
using tarn_test::FcsRecord;

namespace {

Bytes record(uint32_t fileno, Bytes payload, uint16_t attributes = 0) {
  FcsRecord r;
  r.fileno = fileno;
  r.attributes = attributes;
  r.payload = std::move(payload);
  return tarn_test::fcs_record(r);
}

IFile::FilePtr file(const std::string& name, Bytes payload = {1, 2, 3}) {
  Bytes bytes = record(0x100, payload);
  return std::make_shared<File>(bytes.data(), static_cast<uint32_t>(bytes.size()), name.c_str());
}

// Exposes the protected path splitter.
class ProbeDirectory : public Directory {
 public:
  std::pair<std::string, std::string> split(const std::string& path) const {
    std::string root = "junk", next = "junk";
    splitPath(path, root, next);
    return {root, next};
  }
};

// A directory with a name, which only a subclass can give it.
class NamedDirectory : public Directory {
 public:
  explicit NamedDirectory(const char* name) { std::strncpy(file_name, name, FCS_MAX_FILE_NAME_LENGTH); }
};

std::vector<std::string> childNames(Directory& dir) {
  FileIterator it(std::shared_ptr<IFile>(&dir, [](IFile*) {}));
  std::vector<std::string> names;
  for (std::string n = it.firstFile(); !n.empty(); n = it.nextFile()) names.push_back(n);
  return names;
}

TEST(FcsTree, SplitPath) {
  ProbeDirectory d;
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(P("a", "b/c"), d.split("a/b/c"));
  EXPECT_EQ(P("a", ""), d.split("a/"));
  EXPECT_EQ(P("", "a"), d.split("/a"));
  EXPECT_EQ(P("a", ""), d.split("a"));
  EXPECT_EQ(P("", ""), d.split(""));
}

TEST(FcsTree, NamesAreCutTo48AndTerminated) {
  const std::string name48(48, 'q');
  EXPECT_EQ(name48, file(name48)->getFileName());
  EXPECT_EQ(name48, file(name48 + "rs")->getFileName());
  EXPECT_EQ(name48, file(name48)->getFullPath());
  IFile::FilePtr child = file("leaf");
  child->parentPath = "dir";
  EXPECT_EQ("dir/leaf", child->getFullPath());
}

TEST(FcsTree, FileKeepsACopyWithItsLengthFromItsSize) {
  Bytes bytes = record(0x100, {9, 8, 7, 6}, 0x0001);
  tarn_test::put_u16(bytes, tarn_test::kFcsLengthAt, 1000);
  File f(bytes.data(), static_cast<uint32_t>(bytes.size()), "f");
  bytes[12] = 0;  // the node holds its own copy
  EXPECT_FALSE(f.isDirectory());
  EXPECT_EQ(16u, f.getSize());

  Bytes out(16, 0xCC);
  uint32_t size = 15;
  EXPECT_FALSE(f.getFileData(out.data(), &size));
  EXPECT_EQ(16u, size);
  EXPECT_EQ(Bytes(16, 0xCC), out);
  EXPECT_FALSE(f.getFileData(out.data(), nullptr));
  ASSERT_TRUE(f.getFileData(out.data(), &size));
  EXPECT_EQ(record(0x100, {9, 8, 7, 6}, 0x0001), out);

  cfg_file_entry_t header;
  ASSERT_TRUE(f.getAttributes(&header));
  EXPECT_EQ(4u, header.length);
  EXPECT_EQ(0x0001u, header.attributes.value);

  IFile::FilePtr found;
  EXPECT_FALSE(f.addFile("", file("g")));
  EXPECT_FALSE(f.getFile("f", &found));
  EXPECT_FALSE(f.deleteFile("f"));
}

TEST(FcsTree, RecordShorterThanAHeaderGetsNoHeader) {
  Bytes bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  File f(bytes.data(), 11, "short");
  cfg_file_entry_t header;
  EXPECT_FALSE(f.getAttributes(&header));
  Bytes out(11);
  uint32_t size = 11;
  ASSERT_TRUE(f.getFileData(out.data(), &size));
  EXPECT_EQ(bytes, out);  // no length written into the bytes kept
  std::vector<cfg_file_entry_t> entries;
  std::vector<uint8_t> content;
  f.serialize(entries, content);
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(content.empty());

  Directory withRecord(bytes.data(), 11);
  EXPECT_FALSE(withRecord.getAttributes(&header));
  Bytes full = record(0x200, {5});
  Directory d(full.data(), static_cast<uint32_t>(full.size()));
  ASSERT_TRUE(d.getAttributes(&header));
  EXPECT_EQ(1u, header.length);
  EXPECT_TRUE(d.isDirectory());
}

TEST(FcsTree, ChildrenSortByUnsignedBytes) {
  Directory d;
  for (const char* n : {"b", "B", "\xC3\xA9", "a", "ab", "A"}) EXPECT_TRUE(d.addFile("ignored", file(n)));
  EXPECT_EQ((std::vector<std::string>{"A", "B", "a", "ab", "b", "\xC3\xA9"}), childNames(d));
  EXPECT_TRUE(fileCompare(file("a"), file("ab")));
  EXPECT_FALSE(fileCompare(file("ab"), file("a")));
  EXPECT_FALSE(fileCompare(file("a"), file("a")));
}

TEST(FcsTree, GetFileMatchesWholeNames) {
  Directory d;
  d.addFile("", file("/home/a/b"));
  d.addFile("", file("/home/a"));
  IFile::FilePtr found;
  EXPECT_FALSE(d.getFile("/home/a/b", nullptr));
  ASSERT_TRUE(d.getFile("/home/a/b", &found));
  EXPECT_EQ("/home/a/b", found->getFileName());
  EXPECT_FALSE(d.getFile("/home", &found));
  EXPECT_FALSE(d.getFile("/home/a/", &found));
  EXPECT_FALSE(d.getFile(std::string("/home/a\0", 8), &found));
}

TEST(FcsTree, DeleteWalksThePath) {
  Directory root;
  auto sub = std::make_shared<NamedDirectory>("d");
  sub->addFile("", file("e"));
  sub->addFile("", file("f"));
  root.addFile("", file("x"));
  root.addFile("", file("/home/y"));
  root.addFile("", sub);
  EXPECT_EQ(4u * 15, root.getSize());  // the sub-directory holds no record

  EXPECT_FALSE(root.deleteFile("x/y"));  // x is a file
  EXPECT_FALSE(root.deleteFile("nothing"));
  EXPECT_FALSE(root.deleteFile(""));
  EXPECT_FALSE(root.deleteFile("/e"));  // empty first element
  EXPECT_TRUE(root.deleteFile("x/"));
  EXPECT_FALSE(root.deleteFile("x"));
  // The directory only walks paths: a name with a leading slash has an
  // empty first element and matches nothing (the handle API looks such
  // names up whole).
  EXPECT_FALSE(root.deleteFile("/home/y"));
  EXPECT_TRUE(root.deleteFile("d/e"));  // one level down
  EXPECT_EQ(std::vector<std::string>{"f"}, childNames(*sub));
  EXPECT_FALSE(root.deleteFile("d/e"));
  EXPECT_TRUE(root.deleteFile("d"));
  EXPECT_EQ(15u, root.getSize());  // "/home/y" is still there

  // "p/q" goes to the file p, which has nothing below it; the child named
  // "p/q" whole is not touched.
  root.addFile("", file("p"));
  root.addFile("", file("p/q"));
  EXPECT_FALSE(root.deleteFile("p/q"));
  EXPECT_EQ(3u * 15, root.getSize());
  EXPECT_EQ(15u, sub->getSize());  // still alive through this reference
}

TEST(FcsTree, SerializeAppendsInNameOrderWithRelativeOffsets) {
  Directory d;
  d.addFile("", file("b", {1, 2, 3, 4}));
  d.addFile("", file("a", {5, 6}));
  d.addFile("", file("c", {}));
  EXPECT_EQ(12u * 3 + 6, d.getSize());
  std::vector<cfg_file_entry_t> entries;
  std::vector<uint8_t> content = {0xAA};  // appended after what is there
  d.serialize(entries, content);
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ(1u, entries[0].offset);
  EXPECT_EQ(3u, entries[1].offset);
  EXPECT_EQ(7u, entries[2].offset);
  EXPECT_EQ((std::vector<uint8_t>{0xAA, 5, 6, 1, 2, 3, 4}), content);
  // The nodes keep these offsets.
  IFile::FilePtr b;
  ASSERT_TRUE(d.getFile("b", &b));
  cfg_file_entry_t header;
  ASSERT_TRUE(b->getAttributes(&header));
  EXPECT_EQ(3u, header.offset);
}

TEST(FcsTree, WalkDescendsAndClimbs) {
  auto root = std::make_shared<Directory>();
  FileIterator empty(root);
  EXPECT_EQ("", empty.firstFile());
  EXPECT_EQ("", empty.nextFile());

  // root: a, d/{e, f}, g. The walk uses parentDirectory and parentPath,
  // which only a caller sets.
  auto d = std::make_shared<NamedDirectory>("d");
  root->addFile("", file("g"));
  root->addFile("", d);
  root->addFile("", file("a"));
  IFile::FilePtr e = file("e"), f = file("f");
  e->parentPath = f->parentPath = "d";
  d->addFile("", e);
  d->addFile("", f);
  d->parentDirectory = root.get();

  FileIterator it(root);
  EXPECT_EQ("a", it.firstFile());
  EXPECT_EQ("d", it.nextFile());
  EXPECT_EQ("d/e", it.nextFile());
  EXPECT_EQ("d/f", it.nextFile());
  EXPECT_EQ("g", it.nextFile());
  EXPECT_EQ("", it.nextFile());
  EXPECT_EQ("", it.nextFile());

  // A root that is not a directory gives nothing.
  FileIterator leaf(file("z"));
  EXPECT_EQ("", leaf.firstFile());
  EXPECT_EQ("", leaf.nextFile());
}

TEST(FcsTree, WalkEndsSafelyAfterChildrenVanish) {
  auto root = std::make_shared<Directory>();
  root->addFile("", file("a"));
  root->addFile("", file("b"));
  FileIterator it(root);
  EXPECT_EQ("a", it.firstFile());
  EXPECT_EQ("b", it.nextFile());
  // Removed behind the iterator's back: the index points past the children.
  EXPECT_TRUE(root->deleteFile("b"));
  EXPECT_TRUE(root->deleteFile("a"));
  EXPECT_EQ("", it.nextFile());
  root->addFile("", file("c"));
  EXPECT_EQ("", it.nextFile());
  EXPECT_EQ("c", it.firstFile());
}

}  // namespace
