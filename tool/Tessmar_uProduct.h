#pragma once

// Addresses and names of the makers of Kelvane that the configuration tool
// shows or uses. They live in one place so an organisation that rebrands
// changes them here.

namespace kelvane::product {

// Default of the e-mail field and the address of the support mail.
inline constexpr const char* SupportEMail = "support@kelvane.example";
// The address named in error messages for help with a failed request.
inline constexpr const char* CustomerServiceEMail = "service@kelvane.example";

// The tutorial web page, opened in the browser.
inline constexpr const char* TutorialAddress = "http://www.kelvane.example/vardex/tutorial/";
// The home page named in the about box.
inline constexpr const char* HomePageAddress = "http://www.kelvane.example/vardex/";

// A host name shown as an example in the common name's hint.
inline constexpr const char* SampleHostName = "server.example.com";

// Where the runtime that the Windows build of openssl needs can be downloaded;
// named when openssl cannot run at all.
inline constexpr const char* OpensslRuntimeAddress =
    "https://www.microsoft.com/download/details.aspx?id=5582";

// The slogan of the welcome window.
inline constexpr const char* Slogan = "Restart your server from anywhere, safely.";

}  // namespace kelvane::product
