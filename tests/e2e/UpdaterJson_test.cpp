// --json end to end: the updater program against devsim and update-server. Standard output must
// hold JSON documents only, one per line, in success and in failure, with the exit status of the
// same command without --json.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "BirdRecipe.h"
#include "DevSimProcess.h"
#include "FirmwareFixture.h"
#include "LoopbackServer.h"
#include "LpcSimProcess.h"
#include "Netns.h"
#include "TempDir.h"
#include "UpdateServerProcess.h"
#include "UpdaterProcess.h"

namespace {

using nlohmann::json;

const char kHub[] = "serial=0x40F5849A,model=19,address=6,build=1100,version=2.9.0,restart=300";

// Every line of standard output parsed; a line that is not JSON fails the test.
std::vector<json> Documents(const ProcessResult& r) {
  std::vector<json> documents;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    json document = json::parse(line, nullptr, false);
    EXPECT_FALSE(document.is_discarded()) << "not JSON: " << line << "\nstderr: " << r.err;
    documents.push_back(document);
  }
  return documents;
}

// The one document of a command, checked for its command name and result.
json Only(const ProcessResult& r, const std::string& command, const std::string& result) {
  std::vector<json> documents = Documents(r);
  EXPECT_EQ(documents.size(), 1u) << r.out << r.err;
  if (documents.size() != 1) return json::object();
  EXPECT_EQ(documents[0]["command"], command) << r.out;
  EXPECT_EQ(documents[0]["result"], result) << r.out;
  EXPECT_EQ(r.exitCode, result == "ok" ? 0 : 1) << r.out << r.err;
  return documents[0];
}

class JsonCli : public ::testing::Test {
 protected:
  JsonCli()
      : firmware_(tmp_.path(), 0x40F5849A, 19, {{1200, "2.10.0"}, {1300, "2.11.2"}}),
        store_(tmp_ / "store"),
        closed_("http://127.0.0.1:" + std::to_string(LoopbackServer::UnusedPort()) + "/cgi/u") {}

  ProcessResult Run(const std::string& url, std::vector<std::string> args,
                    const std::vector<std::string>& environment = {}) {
    args.insert(args.begin(), {"--json", "-u", url});
    return RunUpdater(store_, args, environment);
  }

  TempDir tmp_;
  FirmwareFixture firmware_;
  std::string store_;
  std::string closed_;
};

TEST_F(JsonCli, ListingsAndDownloadsPrintOneDocumentEach) {
  UpdateServerProcess server(firmware_.root());
  ASSERT_TRUE(server.ready()) << server.Log();
  DevSimProcess sim({"--module", std::string(kHub) + ",usb"});
  ASSERT_TRUE(sim.ready()) << sim.Log();

  json found = Only(Run(closed_, {"-D"}, sim.childEnvironment()), "discover", "ok");
  EXPECT_EQ(found["transport"], "USB");
  ASSERT_EQ(found["devices"].size(), 1u) << found;
  const json& hub = found["devices"][0];
  EXPECT_EQ(hub["serial"], "40F5849A");
  EXPECT_EQ(hub["model"], 19);
  EXPECT_EQ(hub["name"], "AF-USBHub3p");
  EXPECT_EQ(hub["module"], 6);
  EXPECT_EQ(hub["transport"], "USB");
  EXPECT_EQ(hub["build"], 1100);
  EXPECT_EQ(hub["version"], "2.9.0");

  json listed = Only(Run(server.Url(), {"-B", "-d", "40F5849A"}), "list-builds", "ok");
  EXPECT_EQ(listed["serial"], "40F5849A");
  EXPECT_EQ(listed["builds"], json::parse(R"([{"build":1300,"version":"2.11.2"},{"build":1200,"version":"2.10.0"}])"));
  json unreachable = Only(Run(closed_, {"-B", "-d", "40F5849A"}), "list-builds", "failed");
  EXPECT_EQ(unreachable["builds"], json::array());
  EXPECT_EQ(unreachable["error"], "Server request failed for " + closed_ + "\nCause: Couldn't connect to server");

  // The messages of a download go to standard error; the result names the build it stored.
  ProcessResult got = Run(server.Url(), {"-G", "-d", "40F5849A", "-b", "1200"});
  json fetched = Only(got, "get", "ok");
  EXPECT_EQ(fetched["serial"], "40F5849A");
  EXPECT_EQ(fetched["build"], 1200);
  EXPECT_TRUE(fetched["elapsed"].is_number());
  EXPECT_FALSE(fetched.contains("error"));
  EXPECT_NE(got.err.find("Retrieving firmware for device with serial number 40F5849A\n"), std::string::npos)
      << got.err;
  json refused = Only(Run(server.Url(), {"-G", "-d", "40F5849A", "-b", "1250"}), "get", "failed");
  EXPECT_EQ(refused["build"], 1250);
  EXPECT_EQ(refused["error"], "No valid build 1250");
  json noDevice = Only(Run(server.Url(), {"-G"}), "get", "failed");
  EXPECT_TRUE(noDevice["serial"].is_null());
  EXPECT_EQ(noDevice["error"], "-G must specify a specific device via -d\n--help for usage information");

  json local = Only(Run(closed_, {"-L", "-d", "40F5849A"}), "list-local-builds", "ok");
  EXPECT_EQ(local["builds"], json::parse(R"([{"build":1200,"version":"2.10.0"}])"));
  json noSerial = Only(Run(closed_, {"-L"}), "list-local-builds", "failed");
  EXPECT_EQ(noSerial["error"], "Error must supply a serial number for the List Local Builds command");

  // A command line that fails writes nothing to standard output either.
  ProcessResult typo = Run(closed_, {"-L", "-d", "40F5849G"});
  EXPECT_EQ(typo.exitCode, 1);
  EXPECT_EQ(typo.out, "");
}

// Updates and fingerprints may look for devices on the network: inside a namespace.
TEST_F(JsonCli, UpdatesAndFingerprintsEndWithOneObject) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();  // -D -t TCP searches by multicast
  RUN_INSIDE_NETNS();
  UpdateServerProcess server(firmware_.root());
  ASSERT_TRUE(server.ready()) << server.Log();
  DevSimProcess sim({"--discovery", "--bind", "0.0.0.0", "--module", std::string(kHub) + ",usb", "--module",
                     "serial=0x1234ABCD,model=5,address=10,build=55,version=2.15.0,tcp"});
  ASSERT_TRUE(sim.ready()) << sim.Log();

  json network = Only(Run(closed_, {"-D", "-t", "TCP"}, sim.childEnvironment()), "discover", "ok");
  ASSERT_EQ(network["devices"].size(), 1u) << network;
  EXPECT_EQ(network["devices"][0]["serial"], "1234ABCD");
  EXPECT_EQ(network["devices"][0]["transport"], "TCPIP");
  EXPECT_EQ(network["devices"][0]["address"], "10.231.0.1");
  EXPECT_EQ(network["devices"][0]["port"], sim.tcpPort(0x1234ABCD));

  // -G -U: the download's object, then the update's, which took the build just fetched.
  ProcessResult both = Run(server.Url(), {"-G", "-U", "-d", "40F5849A"}, sim.childEnvironment());
  EXPECT_EQ(both.exitCode, 0) << both.err;
  std::vector<json> documents = Documents(both);
  ASSERT_EQ(documents.size(), 2u) << both.out << both.err;
  EXPECT_EQ(documents[0]["command"], "get");
  EXPECT_EQ(documents[0]["build"], 1300);
  EXPECT_EQ(documents[1]["command"], "update");
  EXPECT_EQ(documents[1]["result"], "ok");
  EXPECT_EQ(documents[1]["serial"], "40F5849A");
  EXPECT_EQ(documents[1]["build"], 1300);
  EXPECT_GT(documents[1]["elapsed"].get<double>(), 0.0);
  EXPECT_NE(both.err.find("Device 40F5849A is running build 1300"), std::string::npos) << both.err;

  std::string error;
  BirdRecipe otherModel;
  otherModel.model = 17;
  otherModel.build = 1400;
  otherModel.generic = true;
  ASSERT_TRUE(WriteBirdFile(otherModel, tmp_ / "other.bird", &error)) << error;
  json mismatch =
      Only(Run(closed_, {"-U", "-d", "40F5849A", "-f", tmp_ / "other.bird"}, sim.childEnvironment()), "update",
           "failed");
  EXPECT_EQ(mismatch["build"], 1400);
  EXPECT_NE(mismatch["error"].get<std::string>().find("Birdfile failed validation"), std::string::npos) << mismatch;
  json noDevice = Only(Run(closed_, {"-U"}), "update", "failed");
  EXPECT_EQ(noDevice["error"], "Must specify the specific device to be updated");

  // An LPC part in its boot loader: the fingerprint, then a recovery the server has no image for.
  // (-N resets the part, so each command gets a part of its own.)
  const std::vector<std::string> part = {"--erase-ms", "0", "--device-id",
                                         "0x0A0B0C0D,0x11223344,0x55667788,0x99AABBCC"};
  LpcSimProcess lpc(part), unknownPart(part);
  ASSERT_TRUE(lpc.ready() && unknownPart.ready()) << lpc.Log() << unknownPart.Log();
  const json fingerprint = json::parse(R"(["0A0B0C0D","11223344","55667788","99AABBCC"])");
  json read = Only(Run(closed_, {"-N", "-s", lpc.port()}), "fingerprint", "ok");
  EXPECT_EQ(read["fingerprint"], fingerprint);
  json unknown = Only(Run(server.Url(), {"-U", "-t", "RECOVER", "-s", unknownPart.port()}), "recover", "failed");
  EXPECT_EQ(unknown["fingerprint"], fingerprint) << unknown;
  EXPECT_EQ(unknown["error"], "Failed to retrieve recovery information from Tessaron server") << unknown;
  json noPort = Only(Run(closed_, {"-N"}), "fingerprint", "failed");
  EXPECT_EQ(noPort["error"], "Must specify the serial port used for connecting");
  json silent = Only(Run(closed_, {"-N", "-s", tmp_ / "no-such-port"}), "fingerprint", "failed");
  EXPECT_FALSE(silent.contains("fingerprint"));
  EXPECT_NE(silent["error"].get<std::string>().find("Got no response from chip"), std::string::npos) << silent;
}

}  // namespace
