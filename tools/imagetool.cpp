// imagetool: makes, shows and verifies firmware image files for the optical
// module, with the same image format and checksum code as hexalift.
//
//   imagetool create VERSION PAYLOAD_FILE IMAGE_FILE
//   imagetool show IMAGE_FILE
//   imagetool verify IMAGE_FILE
//   imagetool outcome [--json] LOG_FILE
//
// Exit status: 0 done (verify: the image verifies; outcome: the run
// succeeded), 1 verify: the image does not verify; outcome: something failed
// or the run did not finish, 2 bad arguments, a file that cannot be read or
// written, or (outcome) a file that is not a run log of hexalift.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image_builder.h"
#include "image_format.h"
#include "outcome_report.h"

namespace {

constexpr int kVerifies = 0;
constexpr int kDoesNotVerify = 1;
constexpr int kFailure = 2;

void PrintUsage(FILE* to)
{
    fprintf(to,
            "usage: imagetool create VERSION PAYLOAD_FILE IMAGE_FILE\n"
            "       imagetool show IMAGE_FILE\n"
            "       imagetool verify IMAGE_FILE\n"
            "       imagetool outcome [--json] LOG_FILE\n"
            "\n"
            "create  writes a valid image: the 64-byte header with VERSION (at most 16\n"
            "        characters) as its version text, the payload's size and the\n"
            "        checksum, followed by the payload file's bytes.\n"
            "show    prints the header fields, DataSize and whether the checksum verifies.\n"
            "verify  exit status 0 when the image verifies as hexalift checks it, 1 when\n"
            "        it does not, 2 when the file cannot be read.\n"
            "outcome reads hexalift's run log (C:\\zef_installer.log) and says, for each\n"
            "        image, whether it was current, written or not and why; whether the\n"
            "        module was held in reset and returned to normal operation; and\n"
            "        whether the run finished, or the step its log ends in. --json: the\n"
            "        same as a JSON object. Exit status 0 when the run succeeded, 1 when\n"
            "        something failed or it did not finish, 2 when the file is not a run\n"
            "        log of hexalift (the line that does not fit is named) or cannot be\n"
            "        read.\n");
}

// A whole file in memory: at most limit bytes of it.
struct FileBytes {
    uint8_t* bytes;
    size_t size;      // bytes held
    size_t fileSize;  // bytes the file has
};

bool ReadFileBytes(const char* path, size_t limit, FileBytes& out)
{
    out = FileBytes{nullptr, 0, 0};
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        fprintf(stderr, "imagetool: cannot open %s: %s\n", path, strerror(errno));
        return false;
    }
    long size = -1;
    if (fseek(file, 0, SEEK_END) == 0)
        size = ftell(file);
    if (size < 0 || fseek(file, 0, SEEK_SET) != 0) {
        fprintf(stderr, "imagetool: cannot read %s\n", path);
        fclose(file);
        return false;
    }
    out.fileSize = static_cast<size_t>(size);
    out.size = out.fileSize < limit ? out.fileSize : limit;
    out.bytes = static_cast<uint8_t*>(malloc(out.size + 1));
    const bool ok = out.bytes != nullptr && fread(out.bytes, 1, out.size, file) == out.size && !ferror(file);
    fclose(file);
    if (!ok) {
        fprintf(stderr, "imagetool: cannot read %s\n", path);
        free(out.bytes);
        out.bytes = nullptr;
    }
    return ok;
}

int Create(const char* version, const char* payloadPath, const char* imagePath)
{
    const size_t versionLength = strlen(version);
    if (versionLength > kVerStrSize) {
        fprintf(stderr, "imagetool: the version text has %u characters; at most %u fit\n",
                static_cast<unsigned>(versionLength), kVerStrSize);
        return kFailure;
    }
    FileBytes payload;
    if (!ReadFileBytes(payloadPath, static_cast<size_t>(-1), payload))
        return kFailure;
    if (payload.size > 0xFFFFFFFFu - kImageHeaderSize) {
        fprintf(stderr, "imagetool: the payload is too large for an image\n");
        free(payload.bytes);
        return kFailure;
    }
    const uint32_t dataSize = static_cast<uint32_t>(payload.size) + kImageHeaderSize;
    uint8_t* image = static_cast<uint8_t*>(malloc(dataSize));
    if (image == nullptr) {
        fprintf(stderr, "imagetool: not enough memory for an image of %u bytes\n", dataSize);
        free(payload.bytes);
        return kFailure;
    }
    BuildImage(version, versionLength, payload.bytes, static_cast<uint32_t>(payload.size), image);
    free(payload.bytes);

    FILE* out = fopen(imagePath, "wb");
    bool ok = out != nullptr && fwrite(image, 1, dataSize, out) == dataSize;
    if (out != nullptr)
        ok = fclose(out) == 0 && ok;
    free(image);
    if (!ok) {
        fprintf(stderr, "imagetool: cannot write %s\n", imagePath);
        return kFailure;
    }
    return kVerifies;
}

// Reads an image as hexalift does: the header (zero-filled when the file is
// shorter), then DataSize bytes; a file shorter than DataSize never verifies.
struct ImageCheck {
    ImageHeader header;
    uint32_t dataSize;
    size_t fileSize;
    bool verifies;
};

bool CheckImage(const char* path, ImageCheck& check)
{
    FileBytes head;
    if (!ReadFileBytes(path, kImageHeaderSize, head))
        return false;
    check.header = ImageHeader{};
    memcpy(check.header.bytes, head.bytes, head.size);
    free(head.bytes);
    check.dataSize = DataSizeOf(check.header);
    check.fileSize = head.fileSize;
    check.verifies = false;
    if (check.dataSize == 0 || check.fileSize < check.dataSize)
        return true;
    FileBytes whole;
    if (!ReadFileBytes(path, check.dataSize, whole))
        return false;
    check.verifies = VerifyImageCheckSum(whole.bytes, check.dataSize);
    free(whole.bytes);
    return true;
}

void PrintVersionText(const ImageHeader& header)
{
    char text[kVerStrSize];
    CopyVersionText(header, text);
    putchar('"');
    for (uint32_t i = 0; i < kVerStrSize && text[i] != 0; ++i) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
            putchar(c);
        else
            printf("\\x%02x", c);
    }
    putchar('"');
}

int Show(const char* path)
{
    ImageCheck check;
    if (!CheckImage(path, check))
        return kFailure;
    printf("file:        %s (%lu bytes)\n", path, static_cast<unsigned long>(check.fileSize));
    printf("VerStr:      ");
    PrintVersionText(check.header);
    printf("\nCheckSum:    0x%04x\n", CheckSumOf(check.header));
    printf("PayloadSize: %lu (0x%08lx)\n", static_cast<unsigned long>(PayloadSizeOf(check.header)),
           static_cast<unsigned long>(PayloadSizeOf(check.header)));
    printf("DataSize:    0x%08lx\n", static_cast<unsigned long>(check.dataSize));
    if (check.fileSize < kImageHeaderSize)
        printf("header:      incomplete, the file is shorter than 64 bytes\n");
    if (check.dataSize == 0)
        printf("checksum:    not checked, DataSize wraps to 0 (hexalift leaves the image alone)\n");
    else if (check.fileSize < check.dataSize)
        printf("checksum:    does not verify, the file is shorter than DataSize\n");
    else
        printf("checksum:    %s\n", check.verifies ? "verifies" : "does not verify");
    return kVerifies;
}

int Verify(const char* path)
{
    ImageCheck check;
    if (!CheckImage(path, check))
        return kFailure;
    return check.verifies ? kVerifies : kDoesNotVerify;
}

// A run log is a few hundred bytes; what lies beyond the first MiB is
// never needed to find the first line that does not fit.
constexpr size_t kLogReadLimit = 1 << 20;

int Outcome(const char* path, bool json)
{
    FileBytes log;
    if (!ReadFileBytes(path, kLogReadLimit, log))
        return kFailure;
    const RunOutcome outcome = ReadRunOutcome(std::string(reinterpret_cast<char*>(log.bytes), log.size));
    free(log.bytes);
    const std::string report = json ? OutcomeJson(outcome) : OutcomeText(outcome);
    fputs(report.c_str(), json || outcome.isRunLog ? stdout : stderr);
    return OutcomeStatus(outcome);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        PrintUsage(stdout);
        return kVerifies;
    }
    if (argc == 5 && strcmp(argv[1], "create") == 0)
        return Create(argv[2], argv[3], argv[4]);
    if (argc == 3 && strcmp(argv[1], "show") == 0)
        return Show(argv[2]);
    if (argc == 3 && strcmp(argv[1], "verify") == 0)
        return Verify(argv[2]);
    if (argc == 3 && strcmp(argv[1], "outcome") == 0)
        return Outcome(argv[2], false);
    if (argc == 4 && strcmp(argv[1], "outcome") == 0 && strcmp(argv[2], "--json") == 0)
        return Outcome(argv[3], true);
    fprintf(stderr, "imagetool: bad arguments\n");
    PrintUsage(stderr);
    return kFailure;
}
