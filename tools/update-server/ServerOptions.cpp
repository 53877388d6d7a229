#include "ServerOptions.h"

#include <cstdlib>
#include <cstring>

namespace {

bool sParsePort(const char* text, int& port) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > 65535) return false;
  port = static_cast<int>(value);
  return true;
}

}  // namespace

bool ParseServerOptions(int argc, const char* const* argv, ServerOptions& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "-h" || option == "--help") {
      options.help = true;
      return true;
    }
    if (option == "-q" || option == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (i + 1 >= argc) {
      error = "option " + option + " needs a value";
      return false;
    }
    const char* value = argv[++i];
    if (option == "-r" || option == "--root") {
      options.root = value;
    } else if (option == "-b" || option == "--bind") {
      options.bindAddress = value;
    } else if (option == "-p" || option == "--port") {
      if (!sParsePort(value, options.port)) {
        error = std::string("port '") + value + "' is not a number from 0 to 65535";
        return false;
      }
    } else if (option == "-P" || option == "--path") {
      options.path = value;
    } else if (option == "-w" || option == "--ready-file") {
      options.readyFile = value;
    } else if (option == "--tls-cert") {
      options.tlsCert = value;
    } else if (option == "--tls-key") {
      options.tlsKey = value;
    } else if (option == "--fault") {
      ServerFault fault;
      if (!ParseServerFault(value, fault, error)) return false;
      options.faults.push_back(fault);
    } else {
      error = "unknown option " + option;
      return false;
    }
  }
  if (options.root.empty()) {
    error = "the firmware directory (-r DIR) is required";
    return false;
  }
  if (options.tlsCert.empty() != options.tlsKey.empty()) {
    error = "--tls-cert and --tls-key go together";
    return false;
  }
  if (options.path.empty() || options.path.front() != '/') {
    error = "the request path must start with /";
    return false;
  }
  return true;
}

std::string ServerUsage() {
  return
      "Usage: update-server -r DIR [options]\n"
      "Serves the firmware builds in DIR to the updater over its update-server protocol.\n"
      "\n"
      "Options:\n"
      "  -r, --root DIR         firmware directory; its index is DIR/index.txt (required)\n"
      "  -b, --bind ADDR        address to listen on (default 127.0.0.1)\n"
      "  -p, --port N           TCP port; 0 picks a free one (default 8080)\n"
      "  -P, --path PATH        request path (default /cgi/u)\n"
      "  -w, --ready-file FILE  once listening, write the port number to FILE\n"
      "      --tls-cert FILE    serve HTTPS with this PEM certificate...\n"
      "      --tls-key FILE     ...and this PEM private key\n"
      "      --fault KIND[@OP]  misbehave (see Faults below); repeatable\n"
      "  -q, --quiet            do not log requests to standard error\n"
      "  -h, --help             this text\n"
      "\n"
      "When listening it prints \"update-server: listening on URL\" on standard output;\n"
      "point the updater at that URL with -u URL. It stops on SIGINT or SIGTERM.\n"
      "\n"
      "Index file (one entry per line, blanks between fields, '#' starts a comment):\n"
      "  device <serial> <model>                      device <serial> is a <model>\n"
      "  build  <scope> <build> <version> <file>      offer <file> as <build>\n"
      "  fix    <w0> <w1> <w2> <w3> <serial> <build>  recovery: fingerprint -> serial, build\n"
      "<serial> and the fingerprint words are 8 hexadecimal digits; <build> is a decimal\n"
      "number other than 0; <version> is major.minor.patch; <file> is a BIRD file path\n"
      "relative to DIR. <scope> is a serial number (that device only), a model name as\n"
      "used in device lines (every device of that model) or * (every device). When one\n"
      "build number appears in several scopes, serial beats model beats *. A device's\n"
      "current build is the highest build number it is offered. The build a fix line names\n"
      "must be offered to its serial: it is the device's recovery image (for an LPC part\n"
      "masked with the fingerprint, as birdtool make --fingerprint writes it).\n"
      "\n"
      "Example index.txt:\n"
      "  device 40F5849A AF-USBHub3p\n"
      "  build  AF-USBHub3p 1200 2.10.0 hub3p/1200.bird\n"
      "  build  40F5849A    1300 2.11.2 hub3p/1300-40F5849A.bird\n"
      "  fix    0A0B0C0D 11223344 55667788 99AABBCC 40F5849A 1300\n"
      "\n"
      "Requests (GET PATH?op=...): op=hi; op=qu&sn=S (current build, then the firmware\n"
      "identifier: its file name); op=builds&sn=S (one \"build;version\" line each);\n"
      "op=bird&sn=S&bld=B (the file as one line of base64); op=fix&fp=W0%20W1%20W2%20W3\n"
      "(serial number, then build). Replies start with \"ok\" or \"error: reason\".\n"
      "\n" +
      std::string(ServerFaultHelp());
}
