#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "LoopbackServer.h"
#include "aSocketStream.h"
#include "aTime.h"

namespace {

using Clock = std::chrono::steady_clock;

// A connected socket stream and the server side of its connection.
class SocketStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(aStream_CreateSocket(LoopbackServer::Address(), server.port(), &stream), aErrNone);
    peer = server.Accept();
    ASSERT_GE(peer, 0);
  }
  void TearDown() override {
    if (stream != nullptr) aStream_Destroy(&stream);
  }

  // Polls the stream until a byte or an error other than aErrNotReady, within timeoutMs.
  aErr ReadByte(uint8_t* byte, int timeoutMs = 2000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    aErr err;
    while ((err = aStream_Read(stream, byte, 1)) == aErrNotReady && Clock::now() < end) {
    }
    return err;
  }

  std::string ReadText(size_t n) {
    std::string out;
    uint8_t byte;
    while (out.size() < n && ReadByte(&byte) == aErrNone) out += static_cast<char>(byte);
    return out;
  }

  // Keeps reading until the stream has reconnected and the server accepted the new connection.
  int AwaitReconnection() {
    std::atomic<bool> done{false};
    std::thread reader([&] {
      uint8_t byte;
      while (!done && aStream_Read(stream, &byte, 1) == aErrNotReady) {
      }
    });
    const int fd = server.Accept();
    done = true;
    reader.join();
    return fd;
  }

  LoopbackServer server;
  aStream* stream = nullptr;
  int peer = -1;
};

}  // namespace

TEST(aSocketStreamCreate, RefusedPortAndBadArguments) {
  aStream* stream = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateSocket(LoopbackServer::Address(), LoopbackServer::UnusedPort(), &stream),
            aErrConnection);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateSocket(LoopbackServer::Address(), 1, nullptr), aErrParam);
}

TEST_F(SocketStreamTest, BytesTravelBothWays) {
  ASSERT_TRUE(LoopbackServer::SendAll(peer, "hello"));
  EXPECT_EQ(ReadText(5), "hello");
  const std::string packet("\x04\x03\x01\x02\x03", 5);
  EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>(packet.data()), packet.size()), aErrNone);
  const uint8_t single = 0x7E;
  EXPECT_EQ(aStream_Write(stream, &single, 1), aErrNone);
  EXPECT_EQ(LoopbackServer::Receive(peer, 6), packet + "\x7E");
}

TEST_F(SocketStreamTest, IdleGetWaitsBrieflyThenAnswersNotReady) {
  uint8_t byte;
  const auto start = Clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_LT(elapsed.count(), 250);
}

TEST_F(SocketStreamTest, PeerCloseLeadsToANewConnection) {
  server.Close(peer);
  const int fresh = AwaitReconnection();
  ASSERT_GE(fresh, 0) << "the stream did not reconnect after the peer closed";
  EXPECT_EQ(server.AcceptedCount(), 2u);
  ASSERT_TRUE(LoopbackServer::SendAll(fresh, "again"));
  EXPECT_EQ(ReadText(5), "again");
  EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>("ok"), 2), aErrNone);
  EXPECT_EQ(LoopbackServer::Receive(fresh, 2), "ok");
}

TEST_F(SocketStreamTest, PeerResetLeadsToANewConnection) {
  server.Reset(peer);
  const int fresh = AwaitReconnection();
  ASSERT_GE(fresh, 0) << "the stream did not reconnect after a reset";
  ASSERT_TRUE(LoopbackServer::SendAll(fresh, "z"));
  EXPECT_EQ(ReadText(1), "z");
}

TEST_F(SocketStreamTest, PeerGoneForGoodIsReportedNotHiddenAsNoData) {
  server.StopListening();
  server.Close(peer);
  uint8_t byte;
  const aErr err = ReadByte(&byte);
  EXPECT_TRUE(err == aErrConnection || err == aErrIO) << aErr(err);
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
  EXPECT_EQ(aStream_Write(stream, &byte, 1), aErrConnection);
}

TEST_F(SocketStreamTest, ServerThatKeepsClosingIsGivenUp) {
  std::atomic<bool> done{false};
  std::thread closer([&] {
    server.Close(peer);
    while (!done) {
      const int fd = server.Accept(50);
      if (fd >= 0) server.Close(fd);
    }
  });
  uint8_t byte;
  const aErr err = ReadByte(&byte, 5000);
  done = true;
  closer.join();
  EXPECT_EQ(err, aErrConnection);
  EXPECT_LE(server.AcceptedCount(), 6u);
}

TEST_F(SocketStreamTest, DestroyResetsTheConnection) {
  ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  char byte;
  ASSERT_TRUE(LoopbackServer::WaitFor(peer, POLLIN, 2000));
  EXPECT_EQ(recv(peer, &byte, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
}

TEST(aSocketStreamWrite, StalledPeerGivesAWriteErrorNotSuccess) {
  LoopbackServer server(4096);
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LoopbackServer::Address(), server.port(), &stream), aErrNone);
  ASSERT_GE(server.Accept(), 0);
  // The peer never reads: once both buffers are full nothing more can go.
  const std::string block(32 * 1024 * 1024, 'x');
  const auto start = Clock::now();
  EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>(block.data()), block.size()), aErrWrite);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  aStream_Destroy(&stream);
}

TEST(aSocketStreamWrite, VanishedPeerGivesAnErrorWithinTheBudget) {
  LoopbackServer server;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LoopbackServer::Address(), server.port(), &stream), aErrNone);
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  server.StopListening();
  server.Reset(peer);
  aTime_MSSleep(20);  // let the reset arrive
  const auto start = Clock::now();
  const aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>("data"), 4);
  EXPECT_TRUE(err == aErrIO || err == aErrWrite || err == aErrConnection) << err;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  aStream_Destroy(&stream);
}

TEST_F(SocketStreamTest, ReaderAndWriterSurviveAResetTogether) {
  std::atomic<bool> stop{false};
  std::atomic<int> received{0};
  std::thread reader([&] {
    uint8_t byte;
    while (!stop) {
      if (aStream_Read(stream, &byte, 1) == aErrNone) received++;
    }
  });
  std::thread writer([&] {
    const uint8_t packet[] = {2, 1, 9};
    while (!stop) {
      aStream_Write(stream, packet, sizeof packet);
      aTime_MSSleep(2);
    }
  });
  aTime_MSSleep(20);
  server.Reset(peer);
  const int fresh = server.Accept();
  ASSERT_GE(fresh, 0);
  aTime_MSSleep(20);
  ASSERT_TRUE(LoopbackServer::SendAll(fresh, "abc"));
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (received < 3 && Clock::now() < end) aTime_MSSleep(1);
  stop = true;
  reader.join();
  writer.join();
  EXPECT_EQ(received.load(), 3);
  EXPECT_FALSE(LoopbackServer::Receive(fresh, 3, 500).empty()) << "writes did not reach the new connection";
}
