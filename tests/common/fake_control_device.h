// A stand-in for KRDriver's control device: a built-in driver that creates
// "\FileSystem\KRDriverCDO" with the link "\DosDevices\KRDriver", records
// every device-control request it receives (code, input bytes, output size)
// and answers with what the test set. It lets the driver client's buffers be
// checked byte for byte, and its handling of failures be forced.
#pragma once

#include "platform/nt/io.h"

#include <mutex>
#include <vector>

namespace korin::common_test {

struct RecordedRequest {
    ULONG code = 0;
    std::vector<UCHAR> input;
    ULONG outputLength = 0;
};

// What the fake answers: completion status, and the bytes written to the
// output (Information = their count, cut to the output size).
struct FakeAnswer {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<UCHAR> output{0, 0, 0, 0};
};

class FakeControlDevice {
public:
    FakeControlDevice();  // starts the driver
    ~FakeControlDevice();  // unloads it
    FakeControlDevice(const FakeControlDevice&) = delete;
    FakeControlDevice& operator=(const FakeControlDevice&) = delete;

    void Answer(FakeAnswer answer);
    std::vector<RecordedRequest> Requests();
    RecordedRequest Last();

private:
    PDRIVER_OBJECT driver_ = nullptr;
};

// A status word as output bytes.
std::vector<UCHAR> Word(ULONG word);

}  // namespace korin::common_test
