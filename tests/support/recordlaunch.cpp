// Started by the launcher in tests: records its working directory and then each argument in
// brackets, one a line, so the test sees exactly how it was started. Written aside and moved, so
// the test never reads half a record. With "--wait" alone it records nothing and runs until its
// standard input closes: a living process of a known name, for the lock's tests.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

int main(int argc, char **argv)
{
    if (argc == 2 && std::string(argv[1]) == "--wait") {
        std::string line;
        while (std::getline(std::cin, line)) {
        }
        return 0;
    }
    namespace fs = std::filesystem;
    const fs::path folder = fs::canonical(fs::current_path());
    {
        std::ofstream out(folder / "launch-record.txt.part", std::ios::binary);
        out << folder.generic_u8string() << '\n';
        for (int i = 1; i < argc; ++i)
            out << '[' << argv[i] << "]\n";
        if (!out)
            return 1;
    }
    std::error_code error;
    fs::rename(folder / "launch-record.txt.part", folder / "launch-record.txt", error);
    return error ? 1 : 0;
}
