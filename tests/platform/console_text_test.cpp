// What qefftool.exe writes to a Windows console, read back from the console.

#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

// Fault caught: UTF-8 bytes written to a console in the OEM code page, which
// shows a product's name or a package's notes as other characters.
TEST(ConsoleText, AConsoleIsWrittenEveryCharacterAsItIs) {
    const auto newScreen = [] {
        return CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         CONSOLE_TEXTMODE_BUFFER, nullptr);
    };
    HANDLE screen = newScreen();
    if (screen == INVALID_HANDLE_VALUE) {  // started without a console of its own (Wine from a pipe)
        FreeConsole();
        if (AllocConsole())
            screen = newScreen();
    }
    ASSERT_NE(screen, INVALID_HANDLE_VALUE) << GetLastError();
    SetConsoleOutputCP(437);  // an OEM code page without these letters
    FILE* stream = _fdopen(_open_osfhandle(reinterpret_cast<intptr_t>(screen), _O_WRONLY), "w");
    ASSERT_NE(stream, nullptr);
    const auto buffer = ConsoleTextBuffer(stream);
    ASSERT_NE(buffer, nullptr) << "a console is told apart from a pipe";
    {
        std::ostream out(buffer.get());
        // One character cut by the buffer's end: the euro sign's three bytes written one by one.
        out << "Jos\u00e9 \u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac \u65e5\u672c\u8a9e ";
        for (const char byte : std::string("\u20ac"))
            out.put(byte).flush();
        out << std::flush;
    }
    wchar_t shown[32] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadConsoleOutputCharacterW(screen, shown, 20, COORD{0, 0}, &read));
    EXPECT_EQ(std::wstring(shown, read), L"Jos\u00e9 \u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac \u65e5\u672c\u8a9e \u20ac ");
    std::fclose(stream);

    const auto out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    if (GetFileType(out) == FILE_TYPE_PIPE || GetFileType(out) == FILE_TYPE_DISK) {
        EXPECT_EQ(ConsoleTextBuffer(stdout), nullptr) << "a pipe or a file is written UTF-8 as it is";
    }
}

}  // namespace
