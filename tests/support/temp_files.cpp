#include "temp_files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "image_format.h"

TempDirectory::TempDirectory()
{
    char pattern[] = "/tmp/hexalift-test-XXXXXX";
    path_ = mkdtemp(pattern);
}

TempDirectory::~TempDirectory()
{
    std::filesystem::remove_all(path_);
}

std::string TempDirectory::Write(const std::string& name, const std::vector<uint8_t>& bytes) const
{
    const std::string path = Path(name);
    FILE* file = fopen(path.c_str(), "wb");
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    return path;
}

std::string StreamText(FILE* stream)
{
    fflush(stream);
    rewind(stream);
    std::string text;
    for (int c; (c = fgetc(stream)) != EOF;)
        text.push_back(static_cast<char>(c));
    return text;
}

std::vector<uint8_t> MakeImage(const std::string& version, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> image(kImageHeaderSize + payload.size(), 0);
    std::memcpy(image.data() + kVerStrOffset, version.data(), version.size());
    StoreLittleEndian32(image.data() + kPayloadSizeOffset, static_cast<uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), image.begin() + kImageHeaderSize);
    StoreImageCheckSum(image.data(), static_cast<uint32_t>(image.size()));
    return image;
}
