#include "FirmwareFixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "BirdRecipe.h"
#include "FirmwareIndex.h"
#include "TempDir.h"
#include "UpdateService.h"
#include "aDefs.h"

namespace {

std::string sFileName(uint32_t build) { return "build-" + std::to_string(build) + ".bird"; }

}  // namespace

FirmwareFixture::FirmwareFixture(const std::string& parent, uint32_t serial, uint32_t model,
                                 const std::vector<Build>& builds)
    : root_(parent + "/firmware") {
  EXPECT_EQ(mkdir(root_.c_str(), 0755), 0) << root_;
  char serialText[16];
  std::snprintf(serialText, sizeof serialText, "%08X", serial);
  std::string index = std::string("device ") + serialText + " " + aDefs_GetModelName(model) + "\n";
  for (const Build& build : builds) {
    BirdRecipe recipe;
    recipe.model = model;
    recipe.build = build.build;
    recipe.version = build.version;
    recipe.generic = true;
    recipe.firmwareSize = 4096;
    recipe.loaderSize = 512;
    std::string error;
    EXPECT_TRUE(WriteBirdFile(recipe, root_ + "/" + sFileName(build.build), &error)) << error;
    index += std::string("build ") + serialText + " " + std::to_string(build.build) + " " + build.version + " " +
             sFileName(build.build) + "\n";
  }
  WriteTextFile(root_ + "/" + FirmwareIndex::FILE_NAME, index);
}

std::string FirmwareFixture::FileBytes(uint32_t build) const { return ReadTextFile(root_ + "/" + sFileName(build)); }

UpdateProtocolServer::Handler FirmwareFixture::Handler(
    std::map<std::string, UpdateProtocolServer::Handler> overrides) const {
  auto service = std::make_shared<UpdateService>(root_, FirmwareIndex::Load(root_));
  return [service, overrides](const std::map<std::string, std::string>& query) {
    auto op = query.find("op");
    auto own = overrides.find(op == query.end() ? "" : op->second);
    if (own != overrides.end()) return own->second(query);
    ServiceReply reply = service->Handle(query);
    return UpdateProtocolServer::Reply{reply.status, reply.body};
  };
}
