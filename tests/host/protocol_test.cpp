// The syscall socket's wire format: every record survives a round trip, and
// whatever a peer could send that breaks the rules is refused.
#include "platform/win32/host_client_protocol.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace korin::win32::wire {
namespace {

// Record equality through the encoding itself: two records are equal when
// they encode to the same bytes.
template <class T> Bytes Encoded(const T& record) {
    Writer w;
    w(const_cast<T&>(record));
    return w.Payload();
}

template <class T> T RoundTrip(const T& record) {
    T decoded{};
    Bytes bytes = Encoded(record);
    EXPECT_TRUE(DecodePayload(bytes, &decoded));
    return decoded;
}

template <class T> void ExpectRoundTrip(const T& record) { EXPECT_EQ(Encoded(RoundTrip(record)), Encoded(record)); }

TEST(WireRecords, EveryRecordRoundTrips) {
    CreateFileRequest create;
    create.desiredAccess = 0x80100080;
    create.attributes = WireObjectAttributes{48, 0x1234, Bytes{'\\', 0, 'x', 0}, 0x40};
    create.allocationSize = -5;
    create.fileAttributes = 0x80;
    create.shareAccess = 7;
    create.disposition = 3;
    create.options = 0x60;
    create.ea = InBuffer{Bytes{1, 2, 3}, 3};
    ExpectRoundTrip(create);
    CreateFileRequest bare;  // no attributes, no name, a NULL EA buffer with a length
    bare.ea.length = 9;
    ExpectRoundTrip(bare);
    EXPECT_FALSE(RoundTrip(bare).ea.data);
    EXPECT_EQ(RoundTrip(bare).ea.length, 9u);

    ExpectRoundTrip(HelloRequest{7, "korin[42]"});
    ExpectRoundTrip(CloseRequest{0xfedcba9876543210ull});
    ExpectRoundTrip(QueryInformationFileRequest{4, {true, 100}, 5});
    ExpectRoundTrip(SetInformationFileRequest{8, {Bytes(300, 0xab), 300}, 10});
    ExpectRoundTrip(QueryDirectoryFileRequest{4, {true, 4096}, 37, 3, Bytes{'*', 0}, 17});
    ExpectRoundTrip(QueryDirectoryFileRequest{4, {false, 0}, 1, 0, std::nullopt, 0});
    ExpectRoundTrip(QueryVolumeInformationFileRequest{4, {true, 24}, 1});
    ExpectRoundTrip(SetVolumeInformationFileRequest{4, {Bytes{}, 0}, 2});
    ExpectRoundTrip(DeviceIoControlFileRequest{4, 0, 0x222004, {Bytes{1}, 1}, {true, 512}});
    ExpectRoundTrip(ReadFileRequest{4, 12, {true, 1 << 20}, int64_t{-2}, 5u});
    ExpectRoundTrip(WriteFileRequest{4, 0, {Bytes(10, 1), 10}, std::nullopt, std::nullopt});
    ExpectRoundTrip(DefineDosDeviceRequest{u"X:", u"\\Device\\KTDrive3"});
    ExpectRoundTrip(RemoveDosDeviceRequest{u"X:", u"\\Device\\KTDrive3", true});
    ExpectRoundTrip(QueryDosDeviceRequest{u"\xD800X"});  // unpaired surrogates travel as units
    ExpectRoundTrip(ServiceRequest{Op::kControlService, u"KRDriver", 1});

    ExpectRoundTrip(HelloReply{1});
    ExpectRoundTrip(StatusReply{static_cast<int32_t>(0xC0000034)});
    ExpectRoundTrip(IoReply{0x105, WireIoStatus{0x105, 1ull << 40}, 0x44ull, Bytes{9, 8, 7}});
    ExpectRoundTrip(IoReply{});
    ExpectRoundTrip(NamesReply{{u"C:", u"", u"UNC"}});
    ExpectRoundTrip(ServiceReply{1056, {2, 4, 1, 0, 0, 0, 0}});
}

TEST(WireRecords, ServiceStatusKeepsEveryField) {
    SERVICE_STATUS s{1, 2, 3, 4, 5, 6, 7};
    SERVICE_STATUS back = FromWire(ToWire(s));
    EXPECT_EQ(std::memcmp(&s, &back, sizeof s), 0);
}

TEST(WireRecords, ARequestFrameCarriesItsLengthAndOperation) {
    Bytes frame = EncodeRequest(CloseRequest{0x0102030405060708ull});
    ASSERT_EQ(frame.size(), 4u + 2 + 8);
    EXPECT_EQ(frame[0], 10);  // payload length, little-endian
    EXPECT_EQ(frame[4], static_cast<uint8_t>(Op::kClose));
    EXPECT_EQ(frame[6], 0x08);
    EXPECT_EQ(frame[13], 0x01);
}

// Every strict prefix of a record's encoding is malformed, and so is the
// record with a byte too many.
TEST(WireMalformed, TruncatedAndOverlongRecordsAreRefused) {
    IoReply reply{0, WireIoStatus{0, 3}, 4ull, Bytes{1, 2, 3}};
    Bytes bytes = Encoded(reply);
    for (size_t n = 0; n < bytes.size(); ++n) {
        IoReply decoded;
        EXPECT_FALSE(DecodePayload(Bytes(bytes.begin(), bytes.begin() + n), &decoded)) << n;
    }
    bytes.push_back(0);
    IoReply decoded;
    EXPECT_FALSE(DecodePayload(bytes, &decoded));
}

TEST(WireMalformed, BadTagsAndCountsAreRefused) {
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        // RemoveDosDevice: name (count, units), target (tag), exactMatch (bool).
        {"bool of 2", {0, 0, 0, 0, 0, 2}},
        {"optional tag of 2", {0, 0, 0, 0, 2, 0}},
        {"string count past the frame", {5, 0, 0, 0, 'a', 0, 0, 0}},
        {"string count over the limit", {0xff, 0xff, 0, 0, 0, 0}},
        {"string count that would overflow", {0xff, 0xff, 0xff, 0xff, 0, 0}},
        {"record ends before its last field", {1, 0, 0, 0, 'a', 0, 0}},
    };
    for (const auto& c : cases) {
        RemoveDosDeviceRequest r;
        EXPECT_FALSE(DecodePayload(c.bytes, &r)) << c.name;
    }
    // A list of names whose count promises more strings than bytes remain.
    NamesReply names;
    EXPECT_FALSE(DecodePayload(Bytes{0, 0, 1, 0, 0, 0, 0, 0}, &names));
    // A buffer longer than any frame may carry.
    Bytes huge = {0, 0, 0, 0, 0, 0, 0, 0};  // handle
    Writer w;
    w.Int<uint8_t>(1);
    w.Int<uint32_t>(kMaxBuffer + 1);
    huge.insert(huge.end(), w.Payload().begin(), w.Payload().end());
    SetInformationFileRequest set;
    EXPECT_FALSE(DecodePayload(huge, &set));
}

// Frames over a real stream socket.
class Frames : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
    void TearDown() override {
        for (int fd : fds_)
            if (fd >= 0) close(fd);
    }
    void Send(const Bytes& bytes) { ASSERT_TRUE(WriteFrame(fds_[0], bytes)); }
    void CloseWriter() {
        close(fds_[0]);
        fds_[0] = -1;
    }
    int fds_[2] = {-1, -1};
};

TEST_F(Frames, AFrameArrivesWhole) {
    Bytes frame = EncodeRequest(DefineDosDeviceRequest{u"X:", u"\\Device\\KTDrive1"});
    Send(frame);
    Bytes payload;
    ASSERT_EQ(ReadFrame(fds_[1], &payload), FrameStatus::kOk);
    EXPECT_EQ(payload, Bytes(frame.begin() + 4, frame.end()));
}

TEST_F(Frames, ALargeFrameArrivesWhole) {
    WriteFileRequest write{4, 0, {Bytes(kMaxBuffer, 0x5a), kMaxBuffer}, std::nullopt, std::nullopt};
    Bytes frame = EncodeRequest(write);
    ASSERT_LE(frame.size() - 4, kMaxFrame);
    std::thread writer([&] { Send(frame); });
    Bytes payload;
    EXPECT_EQ(ReadFrame(fds_[1], &payload), FrameStatus::kOk);
    writer.join();
    EXPECT_EQ(payload.size(), frame.size() - 4);
}

TEST_F(Frames, EndsAndBrokenFramesAreTold) {
    struct Case {
        const char* name;
        Bytes bytes;
        FrameStatus expected;
    };
    const Case cases[] = {
        {"nothing before the end", {}, FrameStatus::kClosed},
        {"end inside the length", {5, 0}, FrameStatus::kMalformed},
        {"end inside the payload", {5, 0, 0, 0, 1, 2}, FrameStatus::kMalformed},
        {"length over the limit", {0xff, 0xff, 0xff, 0xff}, FrameStatus::kMalformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        if (!c.bytes.empty()) Send(c.bytes);
        CloseWriter();
        Bytes payload;
        EXPECT_EQ(ReadFrame(fds_[1], &payload), c.expected);
    }
}

}  // namespace
}  // namespace korin::win32::wire
