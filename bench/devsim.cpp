// Throughput of the device simulator: raw wire assembly, and request/reply round trips over a
// loopback TCP link (one UEI get; one device block of the upgrade conversation).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "DevSim.h"
#include "WireAssembler.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A simulator with one TCP module and a blocking client connected to it.
class Session {
 public:
  Session() {
    devsim::DevSimConfig config;
    devsim::ModuleSpec spec;
    std::string error;
    if (!devsim::ParseModuleSpec("serial=0x1234ABCD,model=17,address=6,tcp=0,hb=0,blocksize=1024", &spec, &error)) {
      throw std::runtime_error(error);
    }
    config.modules.push_back(spec);
    sim_ = std::make_unique<devsim::DevSim>(config);
    if (!sim_->start(&error)) throw std::runtime_error(error);
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(sim_->tcpPort(0x1234ABCD));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) throw std::runtime_error("connect");
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~Session() { close(fd_); }

  void send(const Bytes& data) const {
    Bytes wire = {6, static_cast<uint8_t>(data.size())};
    wire.insert(wire.end(), data.begin(), data.end());
    if (write(fd_, wire.data(), wire.size()) != static_cast<ssize_t>(wire.size())) throw std::runtime_error("write");
  }

  // Reads one reply packet and returns its payload.
  Bytes reply() const {
    uint8_t header[2];
    readFully(header, 2);
    Bytes data(header[1]);
    readFully(data.data(), data.size());
    return data;
  }

 private:
  void readFully(uint8_t* out, size_t n) const {
    for (size_t got = 0; got < n;) {
      ssize_t r = read(fd_, out + got, n - got);
      if (r <= 0) throw std::runtime_error("read");
      got += static_cast<size_t>(r);
    }
  }

  std::unique_ptr<devsim::DevSim> sim_;
  int fd_ = -1;
};

void BM_WireAssembly(benchmark::State& state) {
  Bytes stream;
  while (stream.size() < 4096) stream.insert(stream.end(), {6, 7, 3, 0x87, 0x20, 1, 2, 3, 4});
  devsim::WireAssembler assembler([](const std::string&) {});
  std::vector<devsim::SimPacket> packets;
  for (auto _ : state) {
    packets.clear();
    assembler.feed(stream.data(), stream.size(), &packets);
    benchmark::DoNotOptimize(packets.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_WireAssembly);

void BM_UeiGetRoundTrip(benchmark::State& state) {
  Session session;
  for (auto _ : state) {
    session.send({3, 0x48, 0x20});
    benchmark::DoNotOptimize(session.reply());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_UeiGetRoundTrip)->UseRealTime();

// One 1024-byte device block: prepare, 40 data packets, sum and write, each answered.
void BM_UpgradeBlock(benchmark::State& state) {
  Session session;
  Bytes chunk(28, 0x5A);
  chunk[0] = 0x5F;
  chunk[1] = 1;
  for (auto _ : state) {
    session.send({0x5F, 3, 0, 0, 0, 0x10, 0});
    session.reply();
    for (size_t sent = 0; sent < 1024; sent += 26) {
      size_t n = std::min<size_t>(26, 1024 - sent);
      session.send(Bytes(chunk.begin(), chunk.begin() + 2 + static_cast<long>(n)));
      session.reply();
    }
    session.send({0x5F, 4});
    session.reply();
    session.send({0x5F, 5, 4, 0});
    session.reply();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 1024));
}
BENCHMARK(BM_UpgradeBlock)->UseRealTime();

}  // namespace
