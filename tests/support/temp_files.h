// Files for one test in a directory of its own, removed afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const;

private:
    std::string path_;
};

// The whole content of a stream opened by the test, from its start.
std::string StreamText(FILE* stream);

// A valid image: header with the version text and payload size, payload,
// and the CheckSum that makes it verify.
std::vector<uint8_t> MakeImage(const std::string& version, const std::vector<uint8_t>& payload);

// The image with another PayloadSize in its header (the CheckSum is left stale).
std::vector<uint8_t> WithPayloadSize(std::vector<uint8_t> image, uint32_t payloadSize);
