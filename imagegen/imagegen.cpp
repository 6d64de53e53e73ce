// Placeholder until the picture generator lands.
#include <filesystem>
int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::filesystem::create_directories(std::filesystem::path(argv[1]) / "digits");
    std::filesystem::create_directories(std::filesystem::path(argv[1]) / "resource");
    return 0;
}
