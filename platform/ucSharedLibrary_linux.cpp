#include "ucSharedLibrary.h"

#include <dlfcn.h>
#include <link.h>

namespace kelvane {

std::string FindSharedLibrary(std::string_view name) {
  void* handle = ::dlopen(std::string(name).c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) return {};
  std::string path;
  link_map* map = nullptr;
  if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) path = map->l_name;
  ::dlclose(handle);
  return path;
}

}  // namespace kelvane
