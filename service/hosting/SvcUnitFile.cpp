#include "SvcUnitFile.h"

#include <cstdio>

#include "ucPaths.h"

namespace kelvane {
namespace {

// A value for a single-value setting (Description=, WorkingDirectory=):
// specifiers escaped, line breaks and other control characters turned into
// blanks so a value can never start a line of its own.
std::string UnitValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') {
      out += "%%";
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string FolderWithoutDelimiter(const std::string& path) {
  std::string folder = ExtractFilePath(path);
  while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  return folder.empty() ? std::string("/") : folder;
}

}  // namespace

std::string QuoteUnitWord(const std::string& Word) {
  bool needsQuotes = Word.empty();
  std::string body;
  for (char c : Word) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '%') {
      body += "%%";
    } else if (c == '$') {
      body += "$$";
    } else if (c == '\\' || c == '"') {
      body += '\\';
      body += c;
      needsQuotes = true;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      body += escape;
      needsQuotes = true;
    } else {
      if (c == ' ' || c == '\'' || c == ';') needsQuotes = true;
      body += c;
    }
  }
  return needsQuotes ? "\"" + body + "\"" : body;
}

std::string FormatExecStart(const std::string& ProgramPath, const std::vector<std::string>& Arguments) {
  // The program path is always quoted, as the registered command line has
  // always shown it; a plain path reads the same either way.
  std::string program = QuoteUnitWord(ProgramPath);
  if (program.empty() || program.front() != '"') program = "\"" + program + "\"";
  std::string line = program;
  for (const std::string& argument : Arguments) line += " " + QuoteUnitWord(argument);
  return line;
}

std::string FormatServiceUnit(const TServiceRegistration& Registration) {
  const std::string folder = FolderWithoutDelimiter(Registration.ProgramPath);
  std::string unit;
  const std::string program = UnitValue(ExtractFileName(Registration.ProgramPath));
  unit += "# Written by \"" + program + " /INSTALL\"; \"" + program + " /UNINSTALL\" removes it.\n";
  unit += "[Unit]\n";
  unit += "Description=" + UnitValue(Registration.DisplayName) + "\n";
  unit += "Wants=network-online.target\n";
  unit += "After=network-online.target\n";
  // A service that keeps failing at start (missing certificates, a wrong
  // configuration) is given up after five tries in ten minutes instead of
  // being restarted for ever.
  unit += "StartLimitIntervalSec=10min\n";
  unit += "StartLimitBurst=5\n";
  unit += "\n[Service]\n";
  unit += "Type=notify\n";
  unit += "ExecStart=" + FormatExecStart(Registration.ProgramPath, Registration.Arguments) + "\n";
  unit += "WorkingDirectory=" + UnitValue(folder) + "\n";
  unit += "Restart=on-failure\n";
  unit += "RestartSec=10s\n";
  // The start checks the certificates with the openssl program; the stop
  // waits for open connections.
  unit += "TimeoutStartSec=2min\n";
  unit += "TimeoutStopSec=30s\n";
  // The service runs as root because it reboots the machine; the sandbox
  // keeps it to what that needs. Capabilities: the boot capability (reboot(2)
  // when systemctl does not answer) and a privileged port. It warns the
  // logged-in terminals before a reboot as a member of the terminals' group,
  // so it needs no capability to override file permissions.
  unit += "CapabilityBoundingSet=CAP_SYS_BOOT CAP_NET_BIND_SERVICE\n";
  unit += "SupplementaryGroups=tty\n";
  unit += "NoNewPrivileges=yes\n";
  unit += "UMask=0077\n";
  // The whole file system is read-only but for its own folder
  // (configuration, certificates, logs, the power record) and the usual
  // absolute log folder.
  unit += "ProtectSystem=strict\n";
  unit += "ReadWritePaths=" + QuoteUnitWord(folder) + "\n";
  unit += "ReadWritePaths=-/var/log/kelvane\n";
  unit += "ProtectHome=yes\n";
  unit += "PrivateTmp=yes\n";
  unit += "PrivateMounts=yes\n";
  // Devices: none but the standard ones and the terminals it warns.
  unit += "DevicePolicy=closed\n";
  unit += "DeviceAllow=char-pts rw\n";
  unit += "DeviceAllow=char-tty rw\n";
  unit += "ProtectKernelTunables=yes\n";
  unit += "ProtectKernelModules=yes\n";
  unit += "ProtectKernelLogs=yes\n";
  unit += "ProtectControlGroups=yes\n";
  unit += "ProtectClock=yes\n";
  unit += "ProtectHostname=yes\n";
  unit += "ProtectProc=invisible\n";
  unit += "ProcSubset=pid\n";
  unit += "RestrictNamespaces=yes\n";
  unit += "RestrictRealtime=yes\n";
  unit += "RestrictSUIDSGID=yes\n";
  unit += "LockPersonality=yes\n";
  unit += "MemoryDenyWriteExecute=yes\n";
  unit += "RemoveIPC=yes\n";
  // The system calls of an ordinary service, and reboot(2).
  unit += "SystemCallArchitectures=native\n";
  unit += "SystemCallFilter=@system-service @reboot\n";
  unit += "SystemCallErrorNumber=EPERM\n";
  // Netlink: the local address lookup asks the kernel for the interfaces.
  unit += "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n";
  unit += "\n[Install]\n";
  unit += "WantedBy=multi-user.target\n";
  return unit;
}

}  // namespace kelvane
