#pragma once

namespace kelvane {

// A module the application owns from its creation to the program's end
// (the start-up module, the service core's main module, the service object).
// The application destroys its modules in the reverse order of creation.
class TDataModule {
 public:
  virtual ~TDataModule() = default;

 protected:
  TDataModule() = default;
  TDataModule(const TDataModule&) = delete;
  TDataModule& operator=(const TDataModule&) = delete;
};

}  // namespace kelvane
