#include "LCInstallerText.h"

#include <memory>
#include <mutex>

#include "KWLogger.h"
#include "LCStringTable.h"

namespace {

// The installer's texts as first written, exactly; the catalogues translate
// these (assets/installer/<locale>/strings.po, with English as msgid).
const std::vector<std::pair<std::string, std::string>> kEnglish = {
    {"error.8", "A machine restart is pending. Please restart your machine and run the setup again."},
    {"error.9", "This operating system is not supported."},
    {"error.11", "Another instance of Ostrel Clipvane Installer is running. Please wait for it to finish."},
    {"error.19", "Ostrel Clipvane is currently running. Please close the application and click retry."},
    {"error.23", "Your system does not meet the minimum requirements to run Ostrel Clipvane."},
    {"error.30",
     "There is not enough disk space on your computer to install Ostrel Clipvane. Please ensure atleast 5 GB free "
     "space and click retry."},
    {"error.32",
     "Ostrel Clipvane is already installed on this system. Please uninstall the application and click retry."},
    {"error.9000",
     "Unable to connect to the network. Please verify your internet connection settings and click retry."},
    {"error.9001",
     "Unable to connect to the Ostrel server. Please verify your internet connection settings and click retry."},
    {"error.9002",
     "Unable to download Ostrel Clipvane. Please verify your internet connection settings and click retry."},
    {"error.9003", "Unable to install Ostrel Clipvane."},
    {"error.9005", "Please launch Ostrel Clipvane from Launchpad."},
    {"error.9007", "Ostrel Clipvane could not be verified. Please try again later."},
    {"error.9008", "Ostrel Clipvane could not be verified. Please check your computer's date and time."},
    {"error.9009",
     "Ostrel Clipvane could not be saved on your computer. Please check that your disk can be written to and click "
     "retry."},
    {"error.other", "Setup encountered an error."},
    {"error.suffix", "For more help, please contact {email} with the error code {code}."},
    {"startup.os_not_supported", "Ostrel Clipvane requires OSX Mountain Lion or greater to run."},
    {"quit.question", "Are you sure you want to cancel the installation?"},
    {"button.ok", "OK"},
    {"button.cancel", "Cancel"},
    {"button.yes", "Yes"},
    {"button.no", "No"},
    {"button.retry", "Retry"},
    {"menu.quit", "Quit {app}"},
    {"installer.name", "Ostrel Clipvane Installer"},
    {"tray.menu.show", "Show Installer"},
    {"tray.menu.quit", "Quit"},
    // The notice when the window goes away: where the installer is now.
    {"notification.text.tray",
     "The installation will continue in the background. The installer is in the system tray."},
    {"notification.text.menu_bar",
     "The installation will continue in the background. The installer is in the menu bar."},
    // Names a screen reader gives the window's drawn buttons that have no words.
    {"control.cancel_installation", "Cancel the installation"},
    {"control.close", "Close"},
    {"control.minimize", "Minimize"},
    // Texts inside the pictures (tools/make_assets.sh draws them).
    {"state.pre_download", "Preparing the download…"},
    {"state.downloading", "Downloading Ostrel Clipvane…"},
    {"state.waiting_network", "Waiting for the network…"},
    {"state.waiting_offline", "No connection – waiting for the network…"},
    {"state.extracting", "Unpacking the installer…"},
    {"state.installing", "Installing Ostrel Clipvane…"},
    {"state.launching", "Starting Ostrel Clipvane…"},
    // The download's figures, set from the locale's glyph strip.
    {"progress.percent", "{percent} %"},
    {"progress.size", "{done} of {total} MB"},
    {"progress.minutes_left", "{minutes} min left"},
    {"progress.seconds_left", "{seconds} s left"},
    {"progress.decimal_point", "."},
    {"welcome.tagline", "Record, edit and share your videos in minutes."},
    {"welcome.connection_check", "Checking the connection…"},
    {"welcome.install_now", "Install now"},
    {"welcome.licence_prefix", "By installing you agree to the"},
    {"welcome.licence_link", "Licence Agreement"},
    {"welcome.footer", "Version 11.0  ·  About 1 GB to download"},
    {"slide.2.title", "Record anything"},
    {"slide.2.line1", "Capture your screen, webcam and"},
    {"slide.2.line2", "microphone together in one click."},
    {"slide.3.title", "Edit on a timeline"},
    {"slide.3.line1", "Trim, split and arrange clips"},
    {"slide.3.line2", "with precise, frame-accurate tools."},
    {"slide.4.title", "Crystal-clear audio"},
    {"slide.4.line1", "Reduce noise and level voices"},
    {"slide.4.line2", "so every word comes through."},
    {"slide.5.title", "Captions made easy"},
    {"slide.5.line1", "Add and style captions that"},
    {"slide.5.line2", "keep your viewers following along."},
    {"slide.6.title", "Engage your viewers"},
    {"slide.6.line1", "Build quizzes and hotspots right"},
    {"slide.6.line2", "into the video you share."},
    {"slide.7.title", "Share everywhere"},
    {"slide.7.line1", "Publish to your favourite platforms"},
    {"slide.7.line2", "straight from the editor."},
    {"slide.8.title", "Export in HD"},
    {"slide.8.line1", "Produce sharp MP4 files ready"},
    {"slide.8.line2", "for any screen and any device."},
    {"art.caption", "Welcome to the course!"},
    {"art.quiz", "Quick check"},
};

struct Current {
  std::string locale = "en";
  std::shared_ptr<const LCStringTable> table;
};

std::mutex g_mutex;
Current g_current;

Current Snapshot() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_current;
}

}  // namespace

void LCInstallerText::Load(const KWPath& assetFolder, const std::string& locale) {
  std::shared_ptr<LCStringTable> table;
  if (locale != "en") {
    const KWPath path = assetFolder.AppendNew(locale.c_str()).Append("strings.po", KWPath::kKWPathKindFile);
    table = std::make_shared<LCStringTable>();
    if (!table->LoadFromFile(path)) {
      KWLOG("UI: texts for \"%s\" not readable (%s); English is used", locale.c_str(), path.c_str());
      table.reset();
    }
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  // Without its texts the locale's pictures are not used either: one
  // language on every screen, and a glyph strip that fits the texts.
  g_current.locale = table ? locale : "en";
  g_current.table = table;
}

void LCInstallerText::Reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_current = Current();
}

std::string LCInstallerText::GetLocale() { return Snapshot().locale; }

KWString LCInstallerText::Get(const std::string& key) {
  const Current current = Snapshot();
  if (current.table) {
    if (const KWString* text = current.table->Find(key)) return *text;
  }
  return English(key);
}

KWString LCInstallerText::English(const std::string& key) {
  for (const auto& english : kEnglish) {
    if (english.first == key) return KWString(english.second);
  }
  return KWString(key);
}

KWString LCInstallerText::Fill(const KWString& pattern, const Values& values) {
  const std::string& text = pattern.GetUTF8String();
  std::string result;
  size_t position = 0;
  while (position < text.size()) {
    const size_t open = text.find('{', position);
    const size_t close = open == std::string::npos ? std::string::npos : text.find('}', open);
    if (close == std::string::npos) break;
    result.append(text, position, open - position);
    const std::string name = text.substr(open + 1, close - open - 1);
    bool replaced = false;
    for (const auto& value : values) {
      if (value.first == name) {
        result += value.second.GetUTF8String();
        replaced = true;
        break;
      }
    }
    if (!replaced) result.append(text, open, close - open + 1);
    position = close + 1;
  }
  result.append(text, position, std::string::npos);
  return KWString(result);
}

const std::vector<std::pair<std::string, std::string>>& LCInstallerText::EnglishTexts() { return kEnglish; }
