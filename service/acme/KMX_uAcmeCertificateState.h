#pragma once

// Whether the service's certificate file needs a new order: it is missing or
// unreadable, names another host, or is due for renewal. The names a
// certificate holds are its subject's common name and its subjectAltName DNS
// names, since some ACME profiles issue certificates with an empty subject.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/x509.h>

#include "ucTime.h"

namespace kelvane {

enum class TCertificateNeed { Current, Missing, OtherHost, Due };

struct TCertificateState {
  TCertificateNeed Need = TCertificateNeed::Missing;
  TimePoint NotBefore{};
  TimePoint NotAfter{};
  TimePoint RenewAt{};  // when the certificate becomes due
  // What an ACME server knows the certificate by (see AcmeCertificateId);
  // empty when the file is unreadable or the certificate names no authority
  // key identifier.
  std::string CertificateId;
  std::string Reason;   // why an order is needed, for the log
};

// The subject's common name and the subjectAltName DNS names.
std::vector<std::string> CertificateHostNames(X509* certificate);

// True when one of the certificate's names is `host` (ignoring case).
bool CertificateNamesHost(X509* certificate, std::string_view host);

// The same for a PEM file; false when it cannot be read.
bool CertificateFileNamesHost(std::string_view certificateFile, std::string_view host);

TCertificateState AssessCertificate(std::string_view certificateFile, std::string_view host,
                                    std::optional<int> renewDaysBefore, TimePoint now);

}  // namespace kelvane
