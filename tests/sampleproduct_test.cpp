// The sample product image: built by its script, attached by the stand-in,
// installed by its setup program, and the product started as the installer does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "HdiIsoVolume.h"
#include "TestUtil.h"
#include "ToolsTestUtil.h"

using ::testing::ElementsAre;

namespace {

const std::string kVolume = "Ostrel Clipvane 11";
const char kPayload[] = "/Clipvane.app/Contents/Resources/clipvane-data.bin";

class SampleProductTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveProgram("xorriso")) GTEST_SKIP() << "xorriso is not installed";
    m_installDir = m_work.File("Applications");
    MakeFolders(m_work.File("mounts"));
  }

  // Builds the image and attaches it; returns the setup folder.
  std::string BuildAndAttach(const std::vector<std::string>& extraArgs = {}) {
    std::vector<std::string> args = {ToolPath("sample-product/make-sample-image"),
                                     "--output",
                                     m_work.File("clv.dmg"),
                                     "--install-dir",
                                     m_installDir,
                                     "--payload-bytes",
                                     "1500001"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    const ProcessResult made = RunProcess(args);
    EXPECT_EQ(0, made.exitCode) << made.err;
    m_made = ParseKeyValues(made.out);
    const ProcessResult attach =
        RunProcess({HdiutilPath(), "attach", m_made["image"], "-mountroot", m_work.File("mounts")});
    EXPECT_EQ(0, attach.exitCode) << attach.err;
    return m_work.File("mounts") + "/" + kVolume + "/" + kVolume;
  }

  ProcessResult RunSetup(const std::string& setupFolder, const std::vector<std::string>& env = {}) {
    return RunProcess({setupFolder + "/Install.app/Contents/MacOS/Install", "--mode=silent",
                       "--deploymentFile=" + setupFolder + "/deploy/en_US_deployment.xml"},
                      env);
  }

  std::vector<std::string> VisibleInstallEntries() const {
    std::vector<std::string> visible;
    for (const std::string& name : ListFolder(m_installDir)) {
      if (name[0] != '.' || name.find("partial") != std::string::npos) visible.push_back(name);
    }
    return visible;
  }

  ScopedTempDir m_work;
  std::string m_installDir;
  std::map<std::string, std::string> m_made;
};

TEST_F(SampleProductTest, ImageCarriesTheVolumeNameAndReportsWhereThingsGo) {
  BuildAndAttach();
  std::string name, error;
  ASSERT_TRUE(HdiIsoVolume::ReadVolumeName(m_made["image"], name, error)) << error;
  EXPECT_EQ(kVolume, name);
  EXPECT_EQ("1500001", m_made["payload_bytes"]);
  EXPECT_EQ(m_installDir + "/Clipvane.app/Contents/MacOS/Clipvane", m_made["launch_path"]);
  EXPECT_EQ(m_installDir + kPayload, m_made["payload_path"]);
  EXPECT_EQ(64u, m_made["payload_sha256"].size());
}

TEST_F(SampleProductTest, SilentSetupInstallsThePayloadOnceThenReportsAlreadyInstalled) {
  const std::string setup = BuildAndAttach();
  const ProcessResult first = RunSetup(setup);
  ASSERT_EQ(0, first.exitCode) << first.err;
  const std::string installed = ReadFileBytes(m_made["payload_path"]);
  EXPECT_EQ(1500001u, installed.size());
  EXPECT_TRUE(installed == ReadFileBytes(setup + "/payload" + kPayload));
  EXPECT_THAT(VisibleInstallEntries(), ElementsAre("Clipvane.app"));

  EXPECT_EQ(32, RunSetup(setup).exitCode);
  EXPECT_TRUE(installed == ReadFileBytes(m_made["payload_path"]));

  // An older build is replaced; a newer one stays. The build is the
  // Info.plist's CFBundleVersion, which the installer reads too.
  const std::string plist = m_installDir + "/Clipvane.app/Contents/Info.plist";
  const std::string shipped = ReadFileBytes(plist);
  const auto installedAs = [&](const std::string& build) {
    std::string text = shipped;
    const size_t at = text.find("<string>11.0.0.1234</string>");
    EXPECT_NE(at, std::string::npos) << text;
    WriteFileBytes(plist, text.replace(at + 8, 11, build));
    WriteFileBytes(m_made["payload_path"], "older");
  };
  installedAs("11.0.0.999");
  EXPECT_EQ(0, RunSetup(setup).exitCode);
  EXPECT_EQ(shipped, ReadFileBytes(plist));
  EXPECT_TRUE(installed == ReadFileBytes(m_made["payload_path"]));
  EXPECT_THAT(VisibleInstallEntries(), ElementsAre("Clipvane.app"));
  installedAs("11.0.1");
  EXPECT_EQ(32, RunSetup(setup).exitCode);
  EXPECT_EQ("older", ReadFileBytes(m_made["payload_path"]));
}

TEST_F(SampleProductTest, TestsCanForceTheExitCode) {
  const std::string setup = BuildAndAttach();
  // One code per run from the file; "0" means a normal run.
  MakeFolders(m_installDir);
  WriteFileBytes(m_installDir + "/.clipvane-setup-exit-codes", "7\n0\n");
  EXPECT_EQ(7, RunSetup(setup).exitCode);
  EXPECT_FALSE(PathExists(m_installDir + "/Clipvane.app"));
  EXPECT_EQ(0, RunSetup(setup).exitCode);
  EXPECT_TRUE(PathExists(m_made["payload_path"]));

  // The environment wins over everything, the installed product included.
  EXPECT_EQ(9, RunSetup(setup, {"CLV_SAMPLE_SETUP_EXIT=9"}).exitCode);
  EXPECT_EQ(32, RunSetup(setup).exitCode);
}

TEST_F(SampleProductTest, SetupRefusesOtherCommandLines) {
  const std::string setup = BuildAndAttach();
  const std::string program = setup + "/Install.app/Contents/MacOS/Install";
  const std::string deployment = "--deploymentFile=" + setup + "/deploy/en_US_deployment.xml";
  EXPECT_EQ(2, RunProcess({program, deployment}).exitCode);
  EXPECT_EQ(2, RunProcess({program, "--mode=interactive", deployment}).exitCode);
  EXPECT_EQ(3, RunProcess({program, "--mode=silent", "--deploymentFile=" + m_work.File("none.xml")}).exitCode);
  EXPECT_FALSE(PathExists(m_installDir + "/Clipvane.app"));
}

TEST_F(SampleProductTest, InstalledProductRecordsItsArguments) {
  ASSERT_EQ(0, RunSetup(BuildAndAttach()).exitCode);
  const ProcessResult run = RunProcess({m_made["launch_path"], "--campaignID", "cnet"});
  EXPECT_EQ(0, run.exitCode) << run.err;
  EXPECT_EQ("--campaignID\ncnet\n", ReadFileBytes(m_installDir + "/clipvane-launched.txt"));
}

TEST_F(SampleProductTest, InstallFolderWithMarkupCharactersSurvivesTheDeploymentFile) {
  m_installDir = m_work.File("A & B <apps> \"x\"");
  ASSERT_EQ(0, RunSetup(BuildAndAttach()).exitCode);
  EXPECT_TRUE(PathExists(m_installDir + kPayload));
}

TEST_F(SampleProductTest, ImageWithoutSetupFolderAttachesWithoutIt) {
  const std::string setup = BuildAndAttach({"--without-setup-folder"});
  EXPECT_FALSE(PathExists(setup));
  EXPECT_THAT(ListFolder(m_work.File("mounts")), ElementsAre(kVolume));
}

}  // namespace
