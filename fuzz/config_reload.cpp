// The service's configuration: Reload on a "Vardex.cfg" holding any bytes,
// then a login check against whatever user list resulted.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Vardex_uConfig.h"

namespace {

// One installation folder for the whole run; each input replaces its file.
// It goes when the run ends (libFuzzer ends a timed run with exit()).
class TFolder {
 public:
  TFolder() {
    char pattern[] = "/tmp/kelvane-fuzz-config-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    FPath = std::string(pattern) + "/";
  }
  ~TFolder() {
    std::remove((FPath + "Vardex.cfg").c_str());
    ::rmdir(FPath.c_str());
  }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

const std::string& Folder() {
  static const TFolder folder;
  return folder.Path();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kelvane::TConfig config(Folder());
  const std::string path = Folder() + "Vardex.cfg";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  std::string error;
  const bool loaded = config.Reload(error);
  if (!loaded && error.empty()) std::abort();
  const kelvane::TUserList users = config.FUserList.Get();
  if (loaded && users.empty()) std::abort();
  for (const std::string& user : users) {
    const std::size_t equals = user.find('=');
    if (equals == std::string::npos) std::abort();
    (void)config.CheckUser(user.substr(0, equals), user.substr(equals + 1));
  }
  (void)config.CheckUser("demo", "");
  (void)config.FLoginRequest.Get();
  return 0;
}
