#include <plist/plist.h>

#include <cstdlib>
#include <limits>

#include "KWFileUtil.h"
#include "LCDiskImageTool.h"

namespace {

std::string StringOf(plist_t dict, const char* key) {
  const plist_t node = plist_dict_get_item(dict, key);
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::string();
  char* value = nullptr;
  plist_get_string_val(node, &value);
  const std::string result = value ? value : "";
  std::free(value);
  return result;
}

}  // namespace

// Linux has no hdiutil: the bundle ships a stand-in with the same command
// lines beside the installer's executable.
KWString LCDiskImageTool::ToolPath() {
  return KWFileUtil::GetExecutableFile()
      .GetParentKWPath()
      .Append("hdiutil", KWPath::kKWPathKindFile)
      .GetPathAsKWString();
}

uint64_t LCDiskImageTool::DiskNeedBytes(uint64_t imageBytes, bool imageOnDisk) {
  // The stand-in copies the volume out of the image and refuses to leave
  // less than this free (its HdiExtractLimits::kMinFreeBytes).
  const uint64_t kStandInReserveBytes = 256ull << 20;
  return (imageOnDisk ? 0 : imageBytes) + imageBytes + kStandInReserveBytes;
}

bool LCDiskImageTool::ReadSystemEntities(const std::string& text, std::vector<LCDiskImageEntity>& entities) {
  entities.clear();
  if (text.empty() || text.size() > std::numeric_limits<uint32_t>::max()) return false;
  plist_t root = nullptr;
  plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &root);
  if (!root) return false;
  bool read = false;
  const plist_t list = plist_get_node_type(root) == PLIST_DICT ? plist_dict_get_item(root, "system-entities") : nullptr;
  if (list && plist_get_node_type(list) == PLIST_ARRAY) {
    read = true;
    for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
      const plist_t entry = plist_array_get_item(list, i);
      if (!entry || plist_get_node_type(entry) != PLIST_DICT) continue;
      LCDiskImageEntity entity;
      entity.device = StringOf(entry, "dev-entry");
      entity.mountPoint = StringOf(entry, "mount-point");
      if (!entity.device.empty()) entities.push_back(entity);
    }
  }
  plist_free(root);
  return read;
}
