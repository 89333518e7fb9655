// The hdiutil stand-in: which volume entries it admits, the volume name it
// reads, and the attach and detach command lines run as real processes.
#include <archive.h>
#include <archive_entry.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <regex>

#include "HdiEntryPolicy.h"
#include "HdiIsoVolume.h"
#include "HdiVolumeExtractor.h"
#include "TestUtil.h"
#include "ToolsTestUtil.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const char kVolume[] = "Ostrel Clipvane 11";

// --- Entry policy ---------------------------------------------------------

TEST(HdiEntryPolicyTest, NormalisesHarmlessPaths) {
  const struct {
    const char* path;
    const char* expected;
  } cases[] = {{"a", "a"},
               {"./a/b", "a/b"},
               {"a//b/", "a/b"},
               {"a/./b", "a/b"},
               {"Ostrel Clipvane 11/x y", "Ostrel Clipvane 11/x y"}};
  HdiEntryPolicy policy;
  for (const auto& c : cases) {
    std::string relative, reason;
    EXPECT_TRUE(policy.CheckPath(c.path, relative, reason)) << c.path << ": " << reason;
    EXPECT_EQ(c.expected, relative) << c.path;
  }
}

TEST(HdiEntryPolicyTest, RefusesPathsThatLeaveTheMountOrForgeTheMarker) {
  const char* cases[] = {"/etc/passwd",
                         "../x",
                         "a/../../x",
                         "a/..",
                         "..",
                         "",
                         ".",
                         "./",
                         ".hdiutil-standin-mount",
                         "./.hdiutil-standin-mount"};
  HdiEntryPolicy policy;
  for (const char* path : cases) {
    std::string relative, reason;
    EXPECT_FALSE(policy.CheckPath(path, relative, reason)) << "\"" << path << "\"";
    EXPECT_FALSE(reason.empty());
  }
}

TEST(HdiEntryPolicyTest, SymlinkTargetsMayOnlyClimbToTheTopAndThenDescend) {
  const struct {
    const char* link;
    const char* target;
    bool allowed;
  } cases[] = {
      {"d/link", "../x", true},
      {"a/b/l", "../../c", true},
      {"l", "x/y", true},
      {"l", "./x", true},
      {"l", ".", true},
      {"link", "../x", false},
      {"a/b/l", "../../../c", false},
      {"l", "/etc/passwd", false},
      {"l", "x/../y", false},
      // "d" may itself be a link to "."; "d/.." would then leave the volume.
      {"p/c", "../d/..", false},
      {"l", "", false},
  };
  HdiEntryPolicy policy;
  for (const auto& c : cases) {
    std::string reason;
    EXPECT_EQ(c.allowed, policy.CheckSymlinkTarget(c.link, c.target, reason)) << c.link << " -> " << c.target;
  }
}

TEST(HdiEntryPolicyTest, HardLinksOnlyJoinFilesAlreadyExtracted) {
  HdiEntryPolicy policy;
  policy.RecordRegularFile("a/file");
  std::string relative, reason;
  EXPECT_TRUE(policy.CheckHardlinkTarget("./a/file", relative, reason));
  EXPECT_EQ("a/file", relative);
  EXPECT_FALSE(policy.CheckHardlinkTarget("a/link", relative, reason));
  EXPECT_FALSE(policy.CheckHardlinkTarget("../a/file", relative, reason));
  EXPECT_FALSE(policy.CheckHardlinkTarget("/a/file", relative, reason));

  // A later entry of the same name, or of a folder above, replaced the file.
  policy.RecordRegularFile("ab");
  policy.ForgetRegularFile("a");
  EXPECT_FALSE(policy.CheckHardlinkTarget("a/file", relative, reason));
  EXPECT_TRUE(policy.CheckHardlinkTarget("ab", relative, reason));
}

TEST(HdiEntryPolicyTest, PrintableNameEscapesControlCharacters) {
  EXPECT_EQ("a\\x0ab\\x1b[2J\\x5c", HdiPrintableName("a\nb\x1b[2J\\"));
}

// --- Volume name ----------------------------------------------------------

std::string Ucs2(const std::u16string& text, size_t fieldChars = 16) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit >> 8);
    bytes += static_cast<char>(unit & 0xFF);
  }
  while (bytes.size() < fieldChars * 2) bytes += std::string("\0 ", 2);
  return bytes;
}

TEST(HdiIsoVolumeTest, DecodesJolietText) {
  const auto decode = [](const std::string& bytes) {
    return HdiIsoVolume::DecodeJolietText(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  };
  EXPECT_EQ("Ostrel", decode(Ucs2(u"Ostrel")));
  EXPECT_EQ("caf\xc3\xa9", decode(Ucs2(u"caf\u00e9")));
  EXPECT_EQ("\xf0\x9f\x8e\xac", decode(Ucs2(u"\U0001F3AC")));  // surrogate pair
  EXPECT_EQ(
      "a\xef\xbf\xbd"
      "b",
      decode(Ucs2(std::u16string(u"a") + char16_t(0xD800) + u"b")));  // lone surrogate
  EXPECT_EQ("ab", decode(Ucs2(std::u16string(u"ab") + char16_t(0) + u"cd")));
}

TEST(HdiIsoVolumeTest, PrefersJolietUnlessItsFieldCutThePrimaryNameShort) {
  // Joliet's volume field holds 16 characters; "Ostrel Clipvane 11" has 18.
  EXPECT_EQ(kVolume, HdiIsoVolume::ChooseName(kVolume, "Ostrel Clipvane", true));
  EXPECT_EQ("Clipvane", HdiIsoVolume::ChooseName("CLIPVANE", "Clipvane", true));
  EXPECT_EQ("CLIPVANE", HdiIsoVolume::ChooseName("CLIPVANE", "", false));
  EXPECT_EQ("Short", HdiIsoVolume::ChooseName("Short and longer", "Short", true));
}

TEST(HdiIsoVolumeTest, SanitizedNameIsOneHarmlessFolderName) {
  EXPECT_EQ("..:..:etc", HdiIsoVolume::SanitizeName("../../etc"));
  EXPECT_EQ("Untitled", HdiIsoVolume::SanitizeName(".."));
  EXPECT_EQ("Untitled", HdiIsoVolume::SanitizeName("."));
  EXPECT_EQ("Untitled", HdiIsoVolume::SanitizeName(""));
  EXPECT_EQ("a_b_c", HdiIsoVolume::SanitizeName("a\nb\x7f"
                                                "c"));
  EXPECT_EQ("a_b", HdiIsoVolume::SanitizeName("a\xc2\x85"
                                              "b"));  // U+0085, a C1 control
  EXPECT_EQ("caf\xc3\xa9", HdiIsoVolume::SanitizeName("caf\xc3\xa9"));
}

// --- attach and detach as processes --------------------------------------

class HdiutilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveProgram("xorriso")) GTEST_SKIP() << "xorriso is not installed";
    m_source = m_work.File("source");
    m_mountRoot = m_work.File("mounts");
    MakeFolders(m_mountRoot);
  }

  // The sample volume's shape: a setup program with its execute bit, data and
  // a link inside the volume.
  std::string MakeSampleImage(const std::string& name = "image.iso") {
    const std::string top = m_source + "/" + kVolume;
    MakeFolders(top + "/Install.app/Contents/MacOS");
    MakeFolders(top + "/deploy");
    WriteExecutable(top + "/Install.app/Contents/MacOS/Install", "#!/bin/sh\nexit 0\n");
    WriteFileBytes(top + "/deploy/en_US_deployment.xml", "<Deployment/>\n");
    WriteFileBytes(top + "/data.bin", std::string(300000, '\x5a'));
    EXPECT_EQ(0, symlink("deploy/en_US_deployment.xml", (top + "/deployment-link").c_str()));
    EXPECT_EQ(0, link((top + "/data.bin").c_str(), (top + "/data-hardlink.bin").c_str()));
    const std::string image = m_work.File(name);
    EXPECT_TRUE(MakeIso(m_source, kVolume, image));
    return image;
  }

  // The installer's command line; the stand-in ignores the Finder options.
  ProcessResult Attach(const std::string& image) {
    return RunProcess({HdiutilPath(), "attach", image, "-mountroot", m_mountRoot, "-nobrowse", "-noautoopen"});
  }
  ProcessResult Detach(const std::string& mountPoint) { return RunProcess({HdiutilPath(), "detach", mountPoint}); }

  ScopedTempDir m_work;
  std::string m_source;
  std::string m_mountRoot;
};

bool IsExecutable(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IXUSR) != 0;
}

TEST_F(HdiutilTest, AttachCopiesTheVolumeAndPrintsTheMountLine) {
  const std::string image = MakeSampleImage();
  const ProcessResult result = Attach(image);
  ASSERT_EQ(0, result.exitCode) << result.err;
  const std::string mountPoint = m_mountRoot + "/" + kVolume;
  EXPECT_TRUE(std::regex_match(result.out, std::regex("(/dev/disk[0-9]+) *\tGUID_partition_scheme *\t\n"
                                                      "/dev/disk[0-9]+s1 *\tApple_HFS *\t" +
                                                      mountPoint + "\n")))
      << result.out;
  const std::string top = mountPoint + "/" + kVolume;
  EXPECT_TRUE(IsExecutable(top + "/Install.app/Contents/MacOS/Install"));
  EXPECT_FALSE(IsExecutable(top + "/deploy/en_US_deployment.xml"));
  EXPECT_EQ(std::string(300000, '\x5a'), ReadFileBytes(top + "/data.bin"));
  EXPECT_EQ("<Deployment/>\n", ReadFileBytes(top + "/deployment-link"));
  EXPECT_EQ(std::string(300000, '\x5a'), ReadFileBytes(top + "/data-hardlink.bin"));
  // Nothing but the mount point: no staging folder stays behind.
  EXPECT_THAT(ListFolder(m_mountRoot), ElementsAre(kVolume));
}

TEST_F(HdiutilTest, SecondAttachTakesTheNextNameAndDisk) {
  const std::string image = MakeSampleImage();
  const ProcessResult first = Attach(image);
  const ProcessResult second = Attach(image);
  ASSERT_EQ(0, first.exitCode) << first.err;
  ASSERT_EQ(0, second.exitCode) << second.err;
  EXPECT_THAT(second.out, HasSubstr("\t" + m_mountRoot + "/" + kVolume + " 1\n"));
  EXPECT_NE(first.out.substr(0, first.out.find(' ')), second.out.substr(0, second.out.find(' ')));
  EXPECT_TRUE(PathExists(m_mountRoot + "/" + kVolume + " 1/" + kVolume + "/data.bin"));
}

TEST_F(HdiutilTest, DetachRemovesWhatAttachCreatedOnce) {
  const std::string image = MakeSampleImage();
  const ProcessResult attach = Attach(image);
  ASSERT_EQ(0, attach.exitCode) << attach.err;
  const std::string mountPoint = m_mountRoot + "/" + kVolume;
  const ProcessResult detach = Detach(mountPoint + "/");
  EXPECT_EQ(0, detach.exitCode) << detach.err;
  EXPECT_TRUE(std::regex_match(detach.out, std::regex("\"disk[0-9]+\" ejected\\.\n"))) << detach.out;
  EXPECT_THAT(ListFolder(m_mountRoot), IsEmpty());
  EXPECT_TRUE(PathExists(image));

  // The installer's forced second try: nothing left to remove, still a failure.
  const ProcessResult again = RunProcess({HdiutilPath(), "detach", mountPoint, "-force"});
  EXPECT_EQ(1, again.exitCode);
  EXPECT_THAT(again.err, HasSubstr("hdiutil: detach failed"));
}

TEST_F(HdiutilTest, ASecondVolumeIsAttachedBesideTheFirstAndDetachedWithItsDisk) {
  const std::string extras = m_work.File("extras");
  MakeFolders(extras);
  WriteFileBytes(extras + "/Read Me", "second");
  MakeFolders(m_source);
  ASSERT_TRUE(MakeIso(extras, "Extras & <More>", m_source + "/.second-volume.iso"));
  const std::string image = MakeSampleImage();
  const ProcessResult attach =
      RunProcess({HdiutilPath(), "attach", image, "-mountroot", m_mountRoot, "-nobrowse", "-plist"});
  ASSERT_EQ(0, attach.exitCode) << attach.err;
  std::smatch disk;
  ASSERT_TRUE(std::regex_search(attach.out, disk, std::regex("<string>(/dev/disk[0-9]+)</string>"))) << attach.out;
  EXPECT_THAT(attach.out, HasSubstr("<key>system-entities</key>"));
  EXPECT_THAT(attach.out, HasSubstr("<string>" + disk[1].str() + "s2</string>"));
  EXPECT_THAT(attach.out, HasSubstr("<string>" + m_mountRoot + "/Extras &amp; &lt;More&gt;</string>"));
  EXPECT_EQ("second", ReadFileBytes(m_mountRoot + "/Extras & <More>/Read Me"));

  // By the device, as the installer does: every volume of the disk goes.
  const ProcessResult detach = Detach(disk[1].str());
  EXPECT_EQ(0, detach.exitCode) << detach.err;
  EXPECT_THAT(ListFolder(m_mountRoot), IsEmpty());
  EXPECT_EQ(1, Detach(disk[1].str()).exitCode) << "a detached disk is gone";
}

TEST_F(HdiutilTest, DetachLeavesAnythingAttachDidNotCreate) {
  const std::string image = MakeSampleImage();
  ASSERT_EQ(0, Attach(image).exitCode);
  const std::string mountPoint = m_mountRoot + "/" + kVolume;

  // An ordinary folder, a copy of a mounted tree (marker included) and a link
  // to the real mount point are all refused.
  const std::string plain = m_work.File("plain");
  MakeFolders(plain);
  WriteFileBytes(plain + "/keep.txt", "keep");
  const std::string copy = m_work.File("copy");
  ASSERT_EQ(0, RunProcess({"cp", "-a", mountPoint, copy}).exitCode);
  const std::string link = m_work.File("link");
  ASSERT_EQ(0, symlink(mountPoint.c_str(), link.c_str()));

  for (const std::string& target : {plain, copy, link, m_work.File("missing")}) {
    const ProcessResult result = Detach(target);
    EXPECT_EQ(1, result.exitCode) << target;
    EXPECT_THAT(result.err, HasSubstr("hdiutil: detach failed")) << target;
  }
  EXPECT_EQ("keep", ReadFileBytes(plain + "/keep.txt"));
  EXPECT_TRUE(PathExists(copy + "/" + kVolume + "/data.bin"));
  EXPECT_TRUE(PathExists(mountPoint + "/" + kVolume + "/data.bin"));
}

TEST_F(HdiutilTest, MissingOrUnreadableImagesFailWithoutLeavingAnything) {
  const std::string garbage = m_work.File("garbage.iso");
  WriteFileBytes(garbage, std::string(100000, 'x'));
  const std::string empty = m_work.File("empty.iso");
  WriteFileBytes(empty, "");
  // Valid descriptors, but the file data was cut off.
  const std::string sample = MakeSampleImage();
  const std::string truncated = m_work.File("truncated.iso");
  WriteFileBytes(truncated, ReadFileBytes(sample).substr(0, 120000));

  for (const std::string& image : {m_work.File("missing.iso"), garbage, empty, truncated, m_work.Path()}) {
    const ProcessResult result = Attach(image);
    EXPECT_EQ(1, result.exitCode) << image;
    EXPECT_THAT(result.err, HasSubstr("hdiutil: attach failed")) << image;
    EXPECT_THAT(result.out, IsEmpty());
    EXPECT_THAT(ListFolder(m_mountRoot), IsEmpty()) << image;
  }
}

TEST_F(HdiutilTest, BadCommandLinesAreUsageErrors) {
  const std::string image = MakeSampleImage();
  EXPECT_EQ(2, RunProcess({HdiutilPath()}).exitCode);
  EXPECT_EQ(2, RunProcess({HdiutilPath(), "mount", image}).exitCode);
  EXPECT_EQ(2, RunProcess({HdiutilPath(), "attach", "-mountroot"}).exitCode);
  EXPECT_EQ(1, RunProcess({HdiutilPath(), "attach", image}).exitCode);  // no mount root: never /Volumes
  EXPECT_EQ(1, RunProcess({HdiutilPath(), "attach", image, "-mountroot", m_work.File("nowhere")}).exitCode);
  EXPECT_THAT(ListFolder(m_mountRoot), IsEmpty());
}

TEST_F(HdiutilTest, HostileVolumeNameStaysOneFolderInsideTheMountRoot) {
  MakeFolders(m_source + "/x");
  const std::string image = m_work.File("evil-name.iso");
  ASSERT_TRUE(MakeIso(m_source, "../../evil", image));
  const ProcessResult result = Attach(image);
  ASSERT_EQ(0, result.exitCode) << result.err;
  EXPECT_THAT(ListFolder(m_mountRoot), ElementsAre("..:..:evil"));
  EXPECT_FALSE(PathExists(m_work.File("evil")));
}

// --- hostile images -------------------------------------------------------

class HdiutilHostileImageTest : public HdiutilTest {
 protected:
  // Attaching must fail, name the offending entry, and write nothing anywhere.
  void ExpectRefused(const std::string& image, const std::string& entry) {
    const std::vector<std::string> before = ListFolder(m_work.Path());
    const ProcessResult result = Attach(image);
    EXPECT_EQ(1, result.exitCode);
    EXPECT_THAT(result.err, HasSubstr("refusing \"" + entry + "\""));
    EXPECT_THAT(ListFolder(m_mountRoot), IsEmpty());
    EXPECT_EQ(before, ListFolder(m_work.Path()));
    EXPECT_FALSE(PathExists("/tmp/escape"));
  }

  // xorriso will not write a ".." name, so the Rock Ridge name of a harmless
  // entry is overwritten in the finished image with one of the same length.
  std::string ImageWithRockRidgeName(const std::string& replacement) {
    const std::string placeholder(replacement.size(), 'Q');
    MakeFolders(m_source + "/d");
    WriteFileBytes(m_source + "/d/" + placeholder, "escaped\n");
    const std::string image = m_work.File("patched.iso");
    EXPECT_TRUE(
        RunProcess({"xorriso", "-as", "mkisofs", "-quiet", "-R", "-V", "vol", "-o", image, m_source}).exitCode == 0);
    std::string bytes = ReadFileBytes(image);
    const std::string field =
        std::string("NM") + static_cast<char>(5 + placeholder.size()) + "\x01" + std::string(1, '\0') + placeholder;
    const size_t at = bytes.find(field);
    EXPECT_NE(std::string::npos, at);
    if (at != std::string::npos) bytes.replace(at + 5, replacement.size(), replacement);
    WriteFileBytes(image, bytes);
    return image;
  }
};

TEST_F(HdiutilHostileImageTest, RefusesDotDotNames) { ExpectRefused(ImageWithRockRidgeName(".."), "d/.."); }

TEST_F(HdiutilHostileImageTest, RefusesNamesThatClimbOut) {
  ExpectRefused(ImageWithRockRidgeName("../../../../../../tmp/escape"), "d/../../../../../../tmp/escape");
}

TEST_F(HdiutilHostileImageTest, RefusesSymlinksPointingOut) {
  const struct {
    const char* link;
    const char* target;
  } cases[] = {{"abs", "/etc/passwd"}, {"d/up", "../../outside"}, {"p/c", "../d/.."}};
  for (const auto& c : cases) {
    ASSERT_EQ(0, RunProcess({"rm", "-rf", m_source}).exitCode);
    MakeFolders(m_source + "/d");
    MakeFolders(m_source + "/p");
    ASSERT_EQ(0, symlink(c.target, (m_source + "/" + c.link).c_str()));
    const std::string image = m_work.File("links.iso");
    ASSERT_TRUE(MakeIso(m_source, "vol", image));
    SCOPED_TRACE(c.link);
    ExpectRefused(image, c.link);
    unlink(image.c_str());
  }
}

TEST_F(HdiutilHostileImageTest, RefusesDeviceFilesAndFifos) {
  MakeFolders(m_source);
  ASSERT_EQ(0, mkfifo((m_source + "/fifo").c_str(), 0644));
  const std::string image = m_work.File("fifo.iso");
  ASSERT_TRUE(MakeIso(m_source, "vol", image));
  ExpectRefused(image, "fifo");

  unlink((m_source + "/fifo").c_str());
  if (mknod((m_source + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  const std::string deviceImage = m_work.File("device.iso");
  ASSERT_TRUE(MakeIso(m_source, "vol", deviceImage));
  ExpectRefused(deviceImage, "null");
}

// --- entry sequences no ISO authoring tool writes ------------------------
// Replayed from a pax archive made with libarchive's writer: the extractor
// applies the same checks to any format.

struct ArchiveEntryPlan {
  mode_t type;  // AE_IFREG, AE_IFDIR, AE_IFLNK; a hard link is AE_IFREG with a link
  std::string path;
  std::string data;      // file contents
  std::string symlink;   // symbolic link target
  std::string hardlink;  // hard link target
};

bool WritePaxArchive(const std::string& path, const std::vector<ArchiveEntryPlan>& entries) {
  struct archive* writer = archive_write_new();
  archive_write_set_format_pax_restricted(writer);
  bool ok = archive_write_open_filename(writer, path.c_str()) == ARCHIVE_OK;
  for (const ArchiveEntryPlan& planned : entries) {
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, planned.path.c_str());
    archive_entry_set_filetype(entry, planned.type);
    archive_entry_set_perm(entry, planned.type == AE_IFDIR ? 0755 : 0644);
    if (!planned.symlink.empty()) archive_entry_set_symlink(entry, planned.symlink.c_str());
    if (!planned.hardlink.empty()) archive_entry_set_hardlink(entry, planned.hardlink.c_str());
    archive_entry_set_size(entry, static_cast<la_int64_t>(planned.data.size()));
    ok = ok && archive_write_header(writer, entry) == ARCHIVE_OK;
    if (ok && !planned.data.empty()) {
      ok = archive_write_data(writer, planned.data.data(), planned.data.size()) ==
           static_cast<la_ssize_t>(planned.data.size());
    }
    archive_entry_free(entry);
  }
  ok = archive_write_close(writer) == ARCHIVE_OK && ok;
  archive_write_free(writer);
  return ok;
}

class HdiVolumeExtractorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_destination = m_work.File("mount/staging");
    MakeFolders(m_destination);
  }

  bool Extract(const std::vector<ArchiveEntryPlan>& entries, const HdiExtractLimits& limits = HdiExtractLimits()) {
    const std::string archive = m_work.File("entries.tar");
    EXPECT_TRUE(WritePaxArchive(archive, entries));
    const std::atomic<bool> abort(false);
    m_error.clear();
    return HdiVolumeExtractor::ExtractArchive(archive, m_destination, abort, m_error, limits);
  }

  bool IsSymlink(const std::string& path) const {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
  }

  ScopedTempDir m_work;
  std::string m_destination;
  std::string m_error;
};

TEST_F(HdiVolumeExtractorTest, LinkWrittenOverAFileCannotBeHardLinkedToTheTop) {
  // The link is harmless at depth one; a hard link made to it at the top
  // would point out of the mount point.
  EXPECT_FALSE(Extract({{AE_IFDIR, "d", "", "", ""},
                        {AE_IFREG, "d/f", "plain\n", "", ""},
                        {AE_IFLNK, "d/f", "", "../x", ""},
                        {AE_IFREG, "h", "", "", "d/f"}}));
  EXPECT_THAT(m_error, HasSubstr("refusing \"h\""));
  EXPECT_FALSE(IsSymlink(m_destination + "/h"));
}

TEST_F(HdiVolumeExtractorTest, FileWrittenOverALinkMayBeHardLinked) {
  ASSERT_TRUE(Extract({{AE_IFDIR, "d", "", "", ""},
                       {AE_IFLNK, "d/f", "", "../a", ""},
                       {AE_IFREG, "d/f", "data\n", "", ""},
                       {AE_IFREG, "h", "", "", "d/f"}}))
      << m_error;
  EXPECT_FALSE(IsSymlink(m_destination + "/h"));
  EXPECT_EQ("data\n", ReadFileBytes(m_destination + "/h"));
}

TEST_F(HdiVolumeExtractorTest, StopsBeforeTheVolumeFillsTheDisk) {
  const std::vector<ArchiveEntryPlan> entries = {{AE_IFREG, "small", std::string(300 * 1024, 's'), "", ""},
                                                 {AE_IFREG, "large", std::string(900 * 1024, 'l'), "", ""}};
  HdiExtractLimits capped;
  capped.maxTotalBytes = 1 << 20;
  EXPECT_FALSE(Extract(entries, capped));
  EXPECT_THAT(m_error, HasSubstr("more than 1 MiB"));

  HdiExtractLimits nearlyFull;
  nearlyFull.minFreeBytes = UINT64_MAX / 2;
  EXPECT_FALSE(Extract(entries, nearlyFull));
  EXPECT_THAT(m_error, HasSubstr("No space left on device"));

  EXPECT_TRUE(Extract(entries)) << m_error;
  EXPECT_EQ(std::string(900 * 1024, 'l'), ReadFileBytes(m_destination + "/large"));
}

}  // namespace
