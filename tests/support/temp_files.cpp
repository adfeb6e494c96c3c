#include "temp_files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "image_builder.h"
#include "image_format.h"

TempDirectory::TempDirectory()
{
    // Under TMPDIR, which ctest points into the build folder.
    const char* parent = getenv("TMPDIR");
    std::string pattern = std::string(parent && *parent ? parent : "/tmp") + "/hexalift-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        perror(pattern.c_str());
        abort();
    }
    path_ = pattern;
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
    std::vector<uint8_t> image(kImageHeaderSize + payload.size());
    BuildImage(version.data(), version.size(), payload.data(), static_cast<uint32_t>(payload.size()),
               image.data());
    return image;
}

std::vector<uint8_t> WithPayloadSize(std::vector<uint8_t> image, uint32_t payloadSize)
{
    StoreLittleEndian32(image.data() + kPayloadSizeOffset, payloadSize);
    return image;
}
