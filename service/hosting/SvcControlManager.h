#pragma once

// The service control manager on systemd: a service is registered as the unit
// file <name>.service in the unit folder, enabled for an automatic start, and
// removed again. With a unit folder of its own (tests, staging) or on a
// machine without systemd, the unit file is all there is: systemctl is not run.

#include <stdexcept>
#include <string>

#include "SvcUnitFile.h"

namespace kelvane {

// A registration that could not be made or removed; the message says why.
class EServiceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TServiceControlManager {
 public:
  // The folder systemd reads administrator units from.
  static constexpr const char* SystemUnitFolder = "/etc/systemd/system";

  TServiceControlManager(std::string UnitFolder, bool UseSystemctl);

  std::string UnitFilePath(const std::string& Name) const;

  // Whether the service is registered. Throws EServiceError when the unit
  // folder cannot be examined.
  bool ServiceExists(const std::string& Name) const;

  // Writes the unit (whole or not at all), makes systemd read it and, for an
  // automatic start, enables it. On any failure nothing stays registered and
  // EServiceError tells why.
  void CreateService(const TServiceRegistration& Registration);

  // Disables the unit and removes it. EServiceError when there is none or it
  // cannot be removed. A running service keeps running until it is stopped.
  void DeleteService(const std::string& Name);

 private:
  void Systemctl(const std::vector<std::string>& Arguments) const;

  std::string FUnitFolder;
  bool FUseSystemctl;
};

}  // namespace kelvane
