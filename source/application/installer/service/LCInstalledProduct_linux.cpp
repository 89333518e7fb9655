#include <plist/plist.h>

#include <cstdlib>

#include "LCInstalledProduct.h"

std::string LCInstalledProduct::BundleVersionOf(const std::string& propertyList) {
  if (propertyList.empty()) return std::string();
  plist_t root = nullptr;
  plist_from_memory(propertyList.data(), static_cast<uint32_t>(propertyList.size()), &root);
  if (root == nullptr) return std::string();
  std::string version;
  const plist_t node = plist_get_node_type(root) == PLIST_DICT ? plist_dict_get_item(root, "CFBundleVersion") : nullptr;
  if (node != nullptr && plist_get_node_type(node) == PLIST_STRING) {
    char* value = nullptr;
    plist_get_string_val(node, &value);
    if (value != nullptr) version = value;
    free(value);
  }
  plist_free(root);
  return version;
}
