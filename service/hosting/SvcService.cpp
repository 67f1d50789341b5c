#include "SvcService.h"

namespace kelvane {
namespace {

bool IsLetterOrUnderscore(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

}  // namespace

bool IsValidComponentName(const std::string& Name) {
  for (std::size_t i = 0; i < Name.size(); ++i) {
    const char c = Name[i];
    if (!IsLetterOrUnderscore(c) && (i == 0 || c < '0' || c > '9')) return false;
  }
  return true;
}

std::string InvalidComponentNameMessage(const std::string& Name) {
  return "''" + Name + "'' is not a valid component name";
}

TService::TService(std::string Name) : FName(std::move(Name)) {}

void TService::SetName(const std::string& Name) {
  if (!IsValidComponentName(Name)) throw EComponentError(InvalidComponentNameMessage(Name));
  FName = Name;
}

void TService::ServiceStart(bool& /*Started*/) {}

void TService::ServiceStop(bool& /*Stopped*/) {}

}  // namespace kelvane
