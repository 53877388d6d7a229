#include "CommandLine.h"

#include <functional>
#include <map>

namespace devsim {

namespace {

using ValueOption = std::function<bool(CommandLineOptions&, const std::string&, std::string*)>;

// An option whose value is kept as given, in the field that `field` picks.
ValueOption StoresText(std::string& (*field)(CommandLineOptions&)) {
  return [field](CommandLineOptions& o, const std::string& v, std::string*) {
    field(o) = v;
    return true;
  };
}

const std::map<std::string, ValueOption>& ValueOptions() {
  static const std::map<std::string, ValueOption> options = {
      {"--module",
       [](CommandLineOptions& o, const std::string& v, std::string* e) {
         ModuleSpec spec;
         if (!ParseModuleSpec(v, &spec, e)) return false;
         o.config.modules.push_back(spec);
         return true;
       }},
      {"--bind", StoresText([](CommandLineOptions& o) -> std::string& { return o.config.bindAddress; })},
      {"--usb-dir", StoresText([](CommandLineOptions& o) -> std::string& { return o.config.usbDir; })},
      {"--flash-dir", StoresText([](CommandLineOptions& o) -> std::string& { return o.config.flashDir; })},
      {"--ready-file", StoresText([](CommandLineOptions& o) -> std::string& { return o.readyFile; })},
      {"--fault",
       [](CommandLineOptions& o, const std::string& v, std::string* e) {
         FaultSpec fault;
         uint32_t serial = 0;
         if (!ParseFault(v, &fault, &serial, e)) return false;
         o.config.faults.emplace_back(serial, fault);
         return true;
       }},
  };
  return options;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, CommandLineOptions* out, std::string* error) {
  CommandLineOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    if (name == "-m") name = "--module";
    if (name == "-h" || name == "--help") {
      o.help = true;
    } else if (name == "-v" || name == "--verbose") {
      o.config.verbose = true;
    } else if (name == "--discovery") {
      o.config.discovery = true;
    } else if (auto it = ValueOptions().find(name); it != ValueOptions().end()) {
      if (!inlineValue) {
        if (i + 1 >= args.size()) {
          *error = "option " + name + " needs a value";
          return false;
        }
        value = args[++i];
      }
      if (!it->second(o, value, error)) {
        *error = name + ": " + *error;
        return false;
      }
    } else {
      *error = "unknown option '" + args[i] + "'";
      return false;
    }
  }
  if (!o.help && o.config.modules.empty()) {
    *error = "no modules: give at least one --module";
    return false;
  }
  *out = o;
  return true;
}

std::string UsageText() {
  std::string text =
      "Usage: devsim [OPTIONS] --module DESCRIPTION [--module DESCRIPTION ...]\n"
      "\n"
      "Simulates Axonforge device modules on TCP ports, pseudo-terminal serial ports, kernel-driver\n"
      "nodes and simulated USB, so that the updater and scripts can run without hardware.\n"
      "\n"
      "Options:\n"
      "  -m, --module DESC   add a module (syntax below); give it once per module\n"
      "  --bind ADDR         IPv4 address the TCP listeners bind to (default 127.0.0.1)\n"
      "  --usb-dir DIR       present USB-attached modules through DIR: a Unix socket DIR/<SERIAL>.sock\n"
      "                      per plugged-in device and the list DIR/devices\n"
      "                      (\"<SERIAL> <idVendor> <idProduct> <socket>\" per line); a lock on\n"
      "                      DIR/devsim.lock keeps a second simulator out of DIR\n"
      "  --discovery         answer network module queries (UDP 232.2.2.2:9888, replies to port 9889);\n"
      "                      only inside a private network namespace (tests/support/netns-run)\n"
      "  --flash-dir DIR     after each reboot into a new image write DIR/<SERIAL>.bin, the flash image\n"
      "                      from its lowest to its highest written address (gaps 0xFF)\n"
      "  --fault SPEC        inject a fault (syntax below); repeatable\n"
      "  --ready-file PATH   once every endpoint is open, write the endpoint lines to PATH\n"
      "  -v, --verbose       log every packet of the conversation to standard error\n"
      "  -h, --help          show this text\n"
      "\n"
      "When ready, devsim prints one line per endpoint on standard output and then \"ready\":\n"
      "  tcp <SERIAL> <address>:<port>\n"
      "  serialport <SERIAL> <slave path> [<symlink>]\n"
      "  kdev <SERIAL> <node path> <slave path>\n"
      "  usb <SERIAL> <socket path>\n"
      "  bus <SERIAL> <ROUTER SERIAL> <module address>\n"
      "  discovery <port>\n"
      "It runs until SIGINT or SIGTERM. Exit status: 0 after a clean stop, 1 when an endpoint cannot\n"
      "be opened (for example a port another process holds), 2 for a bad command line.\n"
      "\n"
      "Restarts: an upgrade load restarts a module into its loader, an upgrade reboot into the image\n"
      "written to it (build and version from its \"AFVER:<build>:<major>.<minor>.<patch>\" marker), a\n"
      "system reset with its saved settings. Meanwhile its TCP port refuses connections, its USB\n"
      "device and kernel node disappear and its serial port stays silent; a module behind a router\n"
      "just leaves the bus. With --discovery, bind the TCP listeners to the namespace's address or\n"
      "0.0.0.0 so that the address in a discovery answer can be connected to.\n"
      "\n";
  text += ModuleSpecHelp();
  text += "\n";
  text += FaultHelp();
  text +=
      "\n"
      "Example:\n"
      "  devsim --usb-dir /tmp/usb --module serial=0x1234ABCD,model=17,address=6,build=100,version=2.15.3,usb,tcp=0\n"
      "         --module serial=0x0BADBEEF,model=13,address=8,behind=0x1234ABCD\n";
  return text;
}

}  // namespace devsim
