#pragma once

// ACME as the service runs it: deciding at start whether the certificate
// files need an order, a self-signed stand-in to listen with until the first
// certificate is there, the order at start retried with back-off until a
// deadline, and the renewal check while running, which orders into a folder
// of its own, lets the caller check the new files, moves them into place and
// hands the new certificate to the listener for new connections.
//
// The files are the service's "Cert/WSScert.pem", "Cert/WSSkey.pem" and
// "Cert/CAcert.pem"; the account key is "Cert/AcmeAccountKey.pem".

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "KMX_uAcmeCertificateState.h"
#include "KMX_uAcmeHttp01Responder.h"
#include "KMX_uAcmeIssuance.h"
#include "KMX_uAcmeListenerTls.h"
#include "KMX_uAcmeSettings.h"
#include "KMX_uAcmeTlsAlpn.h"

namespace kelvane {

struct TAcmeServiceFiles {
  std::string Certificate;
  std::string Key;
  std::string Issuers;
};

class TAcmeService {
 public:
  // `applicationFolder` ends in a separator; `host` is the configured common
  // name; `listenAddress` is where http-01 answers (port 80). Every step and
  // failure goes to `log`.
  TAcmeService(std::string applicationFolder, std::string host, std::string listenAddress,
               TAcmeServiceSettings settings, std::string keyPassphrase, TAcmeProgress log);
  // Ends a running renewal at its next wait and waits for it.
  ~TAcmeService();
  TAcmeService(const TAcmeService&) = delete;
  TAcmeService& operator=(const TAcmeService&) = delete;

  // The service's files and the stand-in's.
  TAcmeServiceFiles Files() const;
  TAcmeServiceFiles StandInFiles() const;

  TCertificateState Assess() const;

  // Writes a self-signed certificate for the host to the stand-in files.
  bool WriteStandIn(std::string& error);

  // Orders into the service's files, retrying with back-off until the
  // deadline. False with the last reason when no certificate came in time.
  bool OrderUntil(std::chrono::steady_clock::time_point deadline, std::string& error);

  // For the listener: installs the ClientHello callback on its context.
  void ConfigureListener(SSL_CTX* serverContext) { FListenerTls.Install(serverContext); }
  // New connections get the certificate now in the service's files.
  bool UseCurrentFiles(std::string& error);

  // Checks on a thread of its own whether the certificate is due and, if so,
  // renews it: orders into "Cert/renewal/", calls `checkNewFiles` with that
  // folder relative to the installation folder ("Cert/renewal/"), moves the
  // files into place, gives the listener the new certificate and calls
  // `installed`. A failure is logged and retried with back-off; the old files
  // stay. Does nothing while a renewal runs.
  void CheckRenewal(std::function<bool(const std::string& relativeFolder)> checkNewFiles,
                    std::function<void()> installed);
  bool RenewalRunning() const { return FRenewing; }

 private:
  bool Order(const std::string& outputFolder, std::chrono::seconds timeLimit, std::string& error);
  bool Wait(std::chrono::milliseconds pause);
  void Renew(const std::function<bool(const std::string&)>& checkNewFiles, const std::function<void()>& installed);

  const std::string FFolder;
  const std::string FHost;
  const std::string FListenAddress;
  const TAcmeServiceSettings FSettings;
  const std::string FKeyPassphrase;
  const TAcmeProgress FLog;
  TAcmeTlsAlpnResponder FTlsAlpn;
  TAcmeListenerTls FListenerTls{FTlsAlpn};

  std::mutex FStopLock;
  std::condition_variable FStopSignal;
  bool FStopping = false;
  std::atomic<bool> FRenewing{false};
  std::thread FRenewal;
};

}  // namespace kelvane
