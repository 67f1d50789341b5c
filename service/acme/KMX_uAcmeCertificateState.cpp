#include "KMX_uAcmeCertificateState.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include <openssl/asn1.h>
#include <openssl/x509v3.h>

#include "KMX_uAcmeKeys.h"
#include "KMX_uAcmeRenewalInfo.h"
#include "KMX_uRenewal.h"
#include "ucFileContent.h"
#include "ucText.h"

namespace kelvane {

namespace {

constexpr std::size_t MaxCertificateFileBytes = 1024 * 1024;

bool SameHost(std::string_view a, std::string_view b) { return FoldCase(a) == FoldCase(b); }

TimePoint Moment(const ASN1_TIME* time) {
  std::tm fields{};
  ::ASN1_TIME_to_tm(time, &fields);
  return std::chrono::system_clock::from_time_t(::timegm(&fields));
}

std::string AsText(const ASN1_STRING* text) {
  return std::string(reinterpret_cast<const char*>(::ASN1_STRING_get0_data(text)),
                     static_cast<std::size_t>(::ASN1_STRING_length(text)));
}

}  // namespace

std::vector<std::string> CertificateHostNames(X509* certificate) {
  std::vector<std::string> names;
  X509_NAME* subject = ::X509_get_subject_name(certificate);
  const int at = ::X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (at >= 0) names.push_back(AsText(::X509_NAME_ENTRY_get_data(::X509_NAME_get_entry(subject, at))));
  auto* altNames =
      static_cast<GENERAL_NAMES*>(::X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; altNames != nullptr && i < sk_GENERAL_NAME_num(altNames); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(altNames, i);
    if (name->type == GEN_DNS) names.push_back(AsText(name->d.dNSName));
  }
  ::GENERAL_NAMES_free(altNames);
  return names;
}

bool CertificateNamesHost(X509* certificate, std::string_view host) {
  const auto names = CertificateHostNames(certificate);
  return std::any_of(names.begin(), names.end(), [host](const std::string& name) { return SameHost(name, host); });
}

bool CertificateFileNamesHost(std::string_view certificateFile, std::string_view host) {
  std::string pem, error;
  if (!ReadFileContent(certificateFile, MaxCertificateFileBytes, pem, error)) return false;
  TX509 certificate = CertificateFromPem(pem, error);
  return certificate && CertificateNamesHost(certificate.get(), host);
}

TCertificateState AssessCertificate(std::string_view certificateFile, std::string_view host,
                                    std::optional<int> renewDaysBefore, TimePoint now) {
  TCertificateState state;
  std::string pem, error;
  TX509 certificate;
  if (!ReadFileContent(certificateFile, MaxCertificateFileBytes, pem, error) ||
      !(certificate = CertificateFromPem(pem, error))) {
    state.Reason = std::string(certificateFile) + " is missing or unreadable: " + error;
    return state;
  }
  state.NotBefore = Moment(::X509_get0_notBefore(certificate.get()));
  state.NotAfter = Moment(::X509_get0_notAfter(certificate.get()));
  state.RenewAt = RenewalTime(state.NotBefore, state.NotAfter, renewDaysBefore);
  if (!AcmeCertificateId(certificate.get(), state.CertificateId, error)) state.CertificateId.clear();
  if (!CertificateNamesHost(certificate.get(), host)) {
    state.Need = TCertificateNeed::OtherHost;
    state.Reason = std::string(certificateFile) + " is not for " + std::string(host);
  } else if (now >= state.RenewAt) {
    state.Need = TCertificateNeed::Due;
    state.Reason = std::string(certificateFile) + " is due for renewal";
  } else {
    state.Need = TCertificateNeed::Current;
  }
  return state;
}

}  // namespace kelvane
