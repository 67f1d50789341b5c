#pragma once

// Addresses and names of the makers of Kelvane that the configuration tool
// shows or uses. They live in one place so an organisation that rebrands or
// runs its own certificate authority changes them here.

namespace kelvane::product {

// The makers' web site, as named in the confirmation before a request.
inline constexpr const char* WebSiteAddress = "http://www.kelvane.example";
// The web site's host name, as named in the proxy explanation.
inline constexpr const char* WebSiteHost = "www.kelvane.example";
// The domain named when the authority's openssl refuses a request.
inline constexpr const char* DomainName = "kelvane.example";

// Default of the e-mail field and the address of the support mail.
inline constexpr const char* SupportEMail = "support@kelvane.example";
// The address named in error messages for help with a failed request.
inline constexpr const char* CustomerServiceEMail = "service@kelvane.example";

// The tutorial web page, opened in the browser.
inline constexpr const char* TutorialAddress = "http://www.kelvane.example/vardex/tutorial/";
// The home page named in the about box.
inline constexpr const char* HomePageAddress = "http://www.kelvane.example/vardex/";

// The certificate authority's endpoint. The key AuthorityURL in the section
// CertificateRequest of the configuration file overrides it.
inline constexpr const char* DefaultAuthorityURL = "http://ca.kelvane.example/certreq";

// A host name shown as an example in the common name's hint.
inline constexpr const char* SampleHostName = "server.example.com";

// Where the runtime that the Windows build of openssl needs can be downloaded;
// named when openssl cannot run at all.
inline constexpr const char* OpensslRuntimeAddress =
    "https://www.microsoft.com/download/details.aspx?id=5582";

// The slogan of the welcome window.
inline constexpr const char* Slogan = "Restart your server from anywhere, safely.";

}  // namespace kelvane::product
