#include "LCHeadlessRecorder.h"

namespace {

// The display the headless window is centred on.
const int kScreenWidth = 1440;
const int kScreenHeight = 900;

}  // namespace

LCHeadlessRecorder& LCHeadlessRecorder::Get() {
  static LCHeadlessRecorder recorder;
  return recorder;
}

void LCHeadlessRecorder::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.clear();
  m_boxes.clear();
  m_script = nullptr;
  m_assetFolder = KWString();
  m_windowPosition = KWINT32Point();
  m_windowVisible = false;
  m_frame = LCBGRAImage();
  m_frameCount = 0;
}

void LCHeadlessRecorder::Record(const std::string& call) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.push_back(call);
}

std::vector<std::string> LCHeadlessRecorder::Calls() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls;
}

void LCHeadlessRecorder::SetAssetFolder(const KWString& folder) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_assetFolder = folder;
}

KWPath LCHeadlessRecorder::GetAssetFolder() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return KWPath(m_assetFolder);
}

void LCHeadlessRecorder::SetMessageBoxScript(LCHeadlessMessageBoxScript script) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_script = std::move(script);
}

LCInstallerMBResult LCHeadlessRecorder::AskMessageBox(const LCHeadlessMessageBox& box) {
  LCHeadlessMessageBoxScript script;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.push_back(box);
    script = m_script;
  }
  return script ? script(box) : LCNeutralMessageBoxAnswer(box.m_type);
}

std::vector<LCHeadlessMessageBox> LCHeadlessRecorder::MessageBoxes() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_boxes;
}

void LCHeadlessRecorder::ShowWindow(unsigned int width, unsigned int height) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_windowPosition.x = (kScreenWidth - static_cast<int>(width)) / 2;
  m_windowPosition.y = (kScreenHeight - static_cast<int>(height)) / 2;
  m_windowVisible = true;
}

void LCHeadlessRecorder::SetWindowVisible(bool visible) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_windowVisible = visible;
}

bool LCHeadlessRecorder::IsWindowVisible() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_windowVisible;
}

void LCHeadlessRecorder::MoveWindowBy(int dx, int dy) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_windowPosition.x += dx;
  m_windowPosition.y += dy;
}

KWINT32Point LCHeadlessRecorder::WindowPosition() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_windowPosition;
}

void LCHeadlessRecorder::PresentFrame(const LCBGRAImage& frame) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_frame = frame;
  ++m_frameCount;
}

LCBGRAImage LCHeadlessRecorder::PresentedFrame() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_frame;
}

int LCHeadlessRecorder::PresentedFrameCount() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_frameCount;
}
