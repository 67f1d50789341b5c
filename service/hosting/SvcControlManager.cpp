#include "SvcControlManager.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "ucPaths.h"
#include "ucSystemd.h"

namespace kelvane {
namespace {

std::string SystemMessage(int error) { return std::strerror(error); }

}  // namespace

TServiceControlManager::TServiceControlManager(std::string UnitFolder, bool UseSystemctl)
    : FUnitFolder(std::move(UnitFolder)), FUseSystemctl(UseSystemctl) {}

std::string TServiceControlManager::UnitFilePath(const std::string& Name) const {
  return IncludeTrailingPathDelimiter(FUnitFolder) + Name + ".service";
}

bool TServiceControlManager::ServiceExists(const std::string& Name) const {
  std::error_code error;
  const bool exists = std::filesystem::exists(UnitFilePath(Name), error);
  if (error) throw EServiceError("Cannot examine " + UnitFilePath(Name) + ": " + error.message());
  return exists;
}

void TServiceControlManager::CreateService(const TServiceRegistration& Registration) {
  if (Registration.Name.empty()) throw EServiceError("The service name is empty");
  const std::string path = UnitFilePath(Registration.Name);
  if (ServiceExists(Registration.Name)) throw EServiceError("The service already exists: " + path);

  // Written beside its final name and renamed into place, so systemd never
  // sees half a unit.
  const std::string temporary = path + ".new";
  {
    errno = 0;
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    const std::string unit = FormatServiceUnit(Registration);
    if (out) out.write(unit.data(), static_cast<std::streamsize>(unit.size()));
    if (out) out.close();
    if (!out) {
      const int error = errno != 0 ? errno : EIO;
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      throw EServiceError("Cannot write " + path + ": " + SystemMessage(error));
    }
  }
  std::error_code renameError;
  std::filesystem::rename(temporary, path, renameError);
  if (renameError) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw EServiceError("Cannot write " + path + ": " + renameError.message());
  }

  try {
    Systemctl({"daemon-reload"});
    if (Registration.StartType == TStartType::stAuto) Systemctl({"enable", Registration.Name + ".service"});
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    try {
      Systemctl({"daemon-reload"});
    } catch (...) {
      // The original failure is the one to report.
    }
    throw;
  }
}

void TServiceControlManager::DeleteService(const std::string& Name) {
  const std::string path = UnitFilePath(Name);
  if (Name.empty() || !ServiceExists(Name)) throw EServiceError("The service does not exist: " + path);
  Systemctl({"disable", Name + ".service"});
  std::error_code error;
  std::filesystem::remove(path, error);
  if (error) throw EServiceError("Cannot remove " + path + ": " + error.message());
  Systemctl({"daemon-reload"});
}

void TServiceControlManager::Systemctl(const std::vector<std::string>& Arguments) const {
  if (!FUseSystemctl) return;
  std::string error;
  if (!RunSystemctl(Arguments, error)) throw EServiceError(error);
}

}  // namespace kelvane
