#include "LCInstallerUIHeadless.h"

#include <algorithm>

#include "LCHeadlessRecorder.h"

void LCInstallerUIHeadless::Reset() { LCHeadlessRecorder::Get().Reset(); }
void LCInstallerUIHeadless::SetAssetFolder(const KWString& folder) { LCHeadlessRecorder::Get().SetAssetFolder(folder); }
void LCInstallerUIHeadless::SetMessageBoxScript(LCHeadlessMessageBoxScript script) {
  LCHeadlessRecorder::Get().SetMessageBoxScript(std::move(script));
}
std::vector<LCHeadlessMessageBox> LCInstallerUIHeadless::GetMessageBoxes() {
  return LCHeadlessRecorder::Get().MessageBoxes();
}
std::vector<std::string> LCInstallerUIHeadless::GetCalls() { return LCHeadlessRecorder::Get().Calls(); }
int LCInstallerUIHeadless::CountCalls(const std::string& call) {
  const std::vector<std::string> calls = GetCalls();
  return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}
KWINT32Point LCInstallerUIHeadless::GetWindowPosition() { return LCHeadlessRecorder::Get().WindowPosition(); }
bool LCInstallerUIHeadless::IsWindowVisible() { return LCHeadlessRecorder::Get().IsWindowVisible(); }
LCBGRAImage LCInstallerUIHeadless::GetPresentedFrame() { return LCHeadlessRecorder::Get().PresentedFrame(); }
int LCInstallerUIHeadless::GetPresentedFrameCount() { return LCHeadlessRecorder::Get().PresentedFrameCount(); }
