"""The shipped 32-bit hexalift.exe runs on processors without SSE2: only the
checksum's SSE2 loop, which it enters after CPUID has found SSE2, may touch
an xmm register. The image is stripped, so this counts: in the checksum's
object, xmm instructions appear in the SSE2 loop alone; in hexalift.exe
there are exactly as many. A flag such as -msse2 on any file, or a library
function that uses SSE, adds some and fails here.

  pytest sse2_confined_test.py --objdump OBJDUMP --library LIBIMAGEFORMAT
      --pe32-bin PE32_BIN
"""

import re
import subprocess

SSE2_LOOP = "OnesComplementSumSse2"
FUNCTION = re.compile(r"^[0-9a-f]+ <(.+)>:$")


def xmm_instructions(objdump: str, path) -> dict:
    """Instructions that name an xmm register, counted by the function (or,
    in a stripped image, the nearest label) that holds them."""
    listing = subprocess.run(
        [objdump, "-d", "--no-show-raw-insn", path],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    counts, function = {}, None
    for line in listing.splitlines():
        header = FUNCTION.match(line)
        if header:
            function = header.group(1)
        elif "%xmm" in line:
            counts[function] = counts.get(function, 0) + 1
    return counts


def test_only_the_checksums_sse2_loop_uses_xmm_registers(option):
    in_library = xmm_instructions(option.objdump, option.library)
    loop = {name: n for name, n in in_library.items() if SSE2_LOOP in name}
    assert len(loop) == 1, f"the SSE2 loop in {option.library}: {in_library}"
    assert in_library == loop, "xmm registers outside the SSE2 loop in the library"
    in_image = xmm_instructions(option.objdump, option.pe32_bin / "hexalift.exe")
    beyond = sum(in_image.values()) - sum(loop.values())
    assert beyond == 0, "hexalift.exe has xmm instructions beyond the SSE2 loop's"
