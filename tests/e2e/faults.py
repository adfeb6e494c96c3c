"""The wrong versions that the tests must catch: hexalift with one fault put in
(e2e.x64.wrong_builds, against the end-to-end scenarios) and Faultbridge with
one fault put in (faultbridge.pe32.wrong_bridges, against the bridge's table
on CoreCLR). Run as a program, it prints what CMake needs: the wrong builds' limit,
which grows with their table.
"""

from winhost import limits

# hexalift's wrong builds: (file, [(original, replacement), ...]).
HEXALIFT = {
    'shutdown also for settings byte "1"': (
        "installer/settings.cpp",
        [
            (
                "return installerId == 0;",
                "return installerId == 0 || installerId == 1;",
            )
        ],
    ),
    "module left in reset at the end": (
        "installer/board_steps.cpp",
        [
            (
                "WriteResetRegister(*board, boardHandle, kNormalOperation)",
                "WriteResetRegister(*board, boardHandle, kHoldInReset)",
            )
        ],
    ),
    "reset wait of 900 ms": (
        "installer/board_steps.cpp",
        [("kResetSettleMilliseconds = 1000;", "kResetSettleMilliseconds = 900;")],
    ),
    "checksum ignored": (
        "installer/image_file.cpp",
        [
            (
                "if (bytesRead != size || !VerifyImageCheckSum(image, size)) {",
                "if (bytesRead != size) {",
            )
        ],
    ),
    "stamping only from InstallerId 3": (
        "installer/settings.cpp",
        [("return installerId > 1;", "return installerId > 2;")],
    ),
    "a wait after a failed reset write too": (
        "installer/board_steps.cpp",
        [
            (
                'LogPrintf("IB_WriteSingleRegister(Reset) Error\\n");\n',
                'LogPrintf("IB_WriteSingleRegister(Reset) Error\\n"), '
                "Sleep(kResetSettleMilliseconds);\n",
            )
        ],
    ),
}

# The wrong bridges: [(original, replacement), ...] in faultbridge/Faultbridge.cs.
BRIDGE = {
    "the text copied after the unwind": [
        (
            "message = ReadMessage(RecordOf(pointers) + ParameterAreaOffset);",
            "parameterArea = RecordOf(pointers) + ParameterAreaOffset;",
        ),
        (
            "throw new ApplicationException(message);",
            "throw new ApplicationException(ReadMessage(parameterArea));",
        ),
        (
            "        private static bool TakeApplicationMessage(",
            "        [ThreadStatic] private static IntPtr parameterArea;\n\n"
            "        private static bool TakeApplicationMessage(",
        ),
    ],
    "the text read at offset 16": [
        (
            "private const int ParameterAreaOffset = 20;",
            "private const int ParameterAreaOffset = 16;",
        )
    ],
    "an inner exception attached": [
        (
            "catch (Exception) when (TakeApplicationMessage(exceptionPointers, out message))",
            "catch (Exception caught) when "
            "(TakeApplicationMessage(exceptionPointers, out message))",
        ),
        (
            "throw new ApplicationException(message);",
            "throw new ApplicationException(message, caught);",
        ),
    ],
    "a verdict that ignores the code": [
        (
            "return record != IntPtr.Zero && IsApplicationCode(record) ? 1u : 0u;",
            "return record != IntPtr.Zero ? 1u : 0u;",
        )
    ],
    "no 60-byte cap on the text": [
        (
            "while (length < ParameterAreaBytes && "
            "Marshal.ReadByte(parameterArea, length) != 0)",
            "while (Marshal.ReadByte(parameterArea, length) != 0)",
        )
    ],
    "no null check of the callable": [
        (
            "            if (function == null)\n"
            '                throw new ArgumentNullException("function");\n',
            "",
        )
    ],
    "another code wrapped in a new exception": [
        (
            "                throw new ApplicationException(message);\n            }",
            "                throw new ApplicationException(message);\n            }\n"
            "            catch (SEHException other)\n            {\n"
            "                throw new SEHException(other.Message);\n            }",
        )
    ],
    "GetExceptionString at the pointers, not the record": [
        (
            "return IsApplicationCode(record) ? record + ParameterAreaOffset : SystemError;",
            "return IsApplicationCode(record) ? p + ParameterAreaOffset : SystemError;",
        )
    ],
    "the record address through a signed 64-bit number": [
        (
            "return Marshal.ReadIntPtr(pointers, 0);",
            "return new IntPtr((long)(uint)Marshal.ReadInt32(pointers, 0));",
        )
    ],
    "the guarded call with a pointer source made public": [
        (
            "internal static void CallUnmanagedFunction(",
            "public static void CallUnmanagedFunction(",
        )
    ],
}

# The version as it is, built exactly as each wrong one.
UNMODIFIED = "unmodified"

# A case runs the wrong version and then, when a case failed, the unmodified one.
BRIDGE_PROGRAMS = 2


def put_in(text: str, changes: list) -> str:
    """text with each (original, replacement) made; each original must be there."""
    for original, replacement in changes:
        assert original in text, f"not in the source: {original!r}"
        text = text.replace(original, replacement)
    return text


if __name__ == "__main__":
    # Each wrong build, and once more for the copy and the unmodified build.
    builds = limits.WRONG_BUILD * (len(HEXALIFT) + 1)
    print(f"set(WRONG_BUILDS_TEST_LIMIT {builds + limits.MARGIN})")
