// The image checksum and its verification on known images and sums (natively).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "checksum.h"
#include "image_format.h"
#include "temp_files.h"

namespace {

// The 67-byte example image: version "1.00", payload "abc".
std::vector<uint8_t> WorkedExample()
{
    std::vector<uint8_t> image(67, 0);
    const uint8_t version[] = {0x31, 0x2E, 0x30, 0x30};
    std::copy(std::begin(version), std::end(version), image.begin() + 8);
    image[58] = 0xD7;
    image[59] = 0x3E;
    image[60] = 3;
    image[64] = 'a';
    image[65] = 'b';
    image[66] = 'c';
    return image;
}

TEST(Checksum, WorkedExampleVerifiesAndIsWhatTheToolMakes)
{
    std::vector<uint8_t> image = WorkedExample();
    EXPECT_TRUE(VerifyImageCheckSum(image.data(), 67));
    EXPECT_EQ(MakeImage("1.00", {'a', 'b', 'c'}), image);
    ImageHeader header;
    std::copy(image.begin(), image.begin() + 64, header.bytes);
    EXPECT_EQ(DataSizeOf(header), 0x43u);
    EXPECT_EQ(CheckSumOf(header), 0x3ED7);
}

TEST(Checksum, EveryChangedByteFailsAndTheBufferIsRestored)
{
    const std::vector<uint8_t> original = WorkedExample();
    for (size_t at = 0; at < original.size(); ++at) {
        std::vector<uint8_t> image = original;
        image[at] ^= 0x01;
        EXPECT_FALSE(VerifyImageCheckSum(image.data(), 67)) << "byte " << at;
        image[at] ^= 0x01;
        EXPECT_EQ(image, original) << "verification must leave the bytes as they were";
    }
}

TEST(Checksum, KnownSums)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        uint16_t sum;
    };
    const Case cases[] = {
        {"RFC 1071 example, little-endian words", {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, 0xF2DD},
        {"empty", {}, 0x0000},
        {"odd last byte is a low byte", {0x00, 0x00, 0x63}, 0x0063},
        {"even length adds no extra byte", {0x63, 0x00}, 0x0063},
        {"carry wraps around", {0xFF, 0xFF, 0x01, 0x00}, 0x0001},
        {"all ones stays 0xFFFF, never 0", {0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFF},
        {"odd byte after a full sum wraps", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x00FF},
        {"zeros sum to 0", std::vector<uint8_t>(13, 0), 0x0000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OnesComplementSum(c.bytes.data(), c.bytes.size()), c.sum) << c.what;
}

TEST(Checksum, FoldedSumEdges)
{
    // Everything but the field zero: the sum is 0, so only 0xFFFF verifies.
    std::vector<uint8_t> zeros(64, 0);
    zeros[58] = 0xFF;
    zeros[59] = 0xFF;
    EXPECT_TRUE(VerifyImageCheckSum(zeros.data(), 64));
    zeros[58] = zeros[59] = 0;
    EXPECT_FALSE(VerifyImageCheckSum(zeros.data(), 64));

    // A sum of 0xFFFF accepts 0x0000 only.
    std::vector<uint8_t> image(64, 0);
    image[0] = image[1] = 0xFF;
    EXPECT_TRUE(VerifyImageCheckSum(image.data(), 64));
    image[58] = image[59] = 0xFF;
    EXPECT_FALSE(VerifyImageCheckSum(image.data(), 64));
}

TEST(Checksum, RandomImagesMadeByTheToolVerify)
{
    std::mt19937 random(58);
    for (size_t payloadSize : {0u, 1u, 2u, 3u, 1000u, 4097u}) {
        std::vector<uint8_t> payload(payloadSize);
        for (uint8_t& b : payload)
            b = static_cast<uint8_t>(random());
        std::vector<uint8_t> image = MakeImage("7.1", payload);
        EXPECT_TRUE(VerifyImageCheckSum(image.data(), uint32_t(image.size()))) << payloadSize;
        image.push_back(0x55);  // bytes beyond DataSize are not part of the image
        EXPECT_TRUE(VerifyImageCheckSum(image.data(), uint32_t(image.size() - 1)));
    }
}

TEST(Checksum, SizesTooSmallToHoldTheFieldNeverVerify)
{
    // Even with a buffer whose bytes would otherwise "verify", sizes below
    // 60 fail without touching anything past the size (ASan watches).
    for (uint32_t size = 0; size < 60; ++size) {
        std::vector<uint8_t> exact(size, 0);
        EXPECT_FALSE(VerifyImageCheckSum(exact.data(), size)) << size;
    }
}

TEST(ImageHeader, DataSizeWrapsInThirtyTwoBits)
{
    struct Case {
        uint32_t payloadSize;
        uint32_t dataSize;
    };
    for (Case c : {Case{0, 64}, Case{3, 67}, Case{0xFFFFFFC0u, 0}, Case{0xFFFFFFC1u, 1},
                   Case{0xFFFFFFFFu, 63}, Case{0xFFFFFFBFu, 0xFFFFFFFFu}}) {
        ImageHeader header = {};
        StoreLittleEndian32(header.bytes + kPayloadSizeOffset, c.payloadSize);
        EXPECT_EQ(PayloadSizeOf(header), c.payloadSize);
        EXPECT_EQ(DataSizeOf(header), c.dataSize) << std::hex << c.payloadSize;
    }
}

TEST(ImageHeader, VersionCopyStopsAtZeroAndAtSixteenBytes)
{
    struct Case {
        std::vector<uint8_t> verStr;  // the 16 bytes at offset 8
        std::string text;             // printed as "%.16s"
    };
    const Case cases[] = {
        {{'1', '.', '0', '0'}, "1.00"},
        {{}, ""},
        {{'A', 0, 'B', 'C'}, "A"},
        {std::vector<uint8_t>(16, 'x'), std::string(16, 'x')},
        {{'1', '.', '0', '0', ' '}, "1.00 "},
    };
    for (const Case& c : cases) {
        ImageHeader header = {};
        std::copy(c.verStr.begin(), c.verStr.end(), header.bytes + kVerStrOffset);
        header.bytes[kVerStrOffset + 16] = 'Z';  // the byte after VerStr never joins the text
        char text[16];
        std::memset(text, '?', sizeof text);
        CopyVersionText(header, text);
        EXPECT_EQ(std::string(text, strnlen(text, 16)), c.text);
        for (size_t i = c.text.size(); i < 16; ++i)
            EXPECT_EQ(text[i], 0) << "the rest of the copy is zero";
    }
}

}  // namespace
