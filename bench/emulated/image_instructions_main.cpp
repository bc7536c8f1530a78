// Prints the i386 instructions the shipped Quillmark.sem runs of its own
// code per operation, beside those of its floor, their ratio and its goal:
//
//   quill_image_instructions [SHIPPED.sem FLOOR.sem]
//
// Both files default to the win32 preset's build. Exits 1 when a file does
// not load or faults, or when a ratio is above its goal.
#include "image_bench.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 1 && argc != 3) {
        std::fprintf(stderr, "usage: quill_image_instructions [SHIPPED.sem FLOOR.sem]\n");
        return 2;
    }
    const std::string shipped_path = argc == 3 ? argv[1] : image_bench::ShippedLibraryPath();
    const std::string floor_path = argc == 3 ? argv[2] : image_bench::FloorLibraryPath();
    image_bench::ImageBench shipped(shipped_path);
    image_bench::ImageBench floor(floor_path);
    for (const image_bench::ImageBench* bench : {&shipped, &floor}) {
        if (!bench->ok()) {
            std::fprintf(stderr, "quill_image_instructions: %s\n", bench->problem().c_str());
            return 1;
        }
    }

    bool within = true;
    std::printf("    %-48s %9s %7s %7s %6s\n", "operation", "shipped", "floor", "ratio", "goal");
    for (const image_bench::OperationInfo& info : image_bench::kOperations) {
        const std::uint64_t shipped_count = shipped.Measure(info.operation);
        const std::uint64_t floor_count = floor.Measure(info.operation);
        for (const image_bench::ImageBench* bench : {&shipped, &floor}) {
            if (!bench->ok()) {
                std::fprintf(stderr, "quill_image_instructions: %s: %s\n", info.name, bench->problem().c_str());
                return 1;
            }
        }
        const double ratio = floor_count == 0 ? 0.0 : static_cast<double>(shipped_count) / floor_count;
        const bool meets = floor_count != 0 && ratio <= info.goal;
        within = within && meets;
        std::printf("    %-48s %9llu %7llu %7.2f %6.2f%s\n", info.description,
                    static_cast<unsigned long long>(shipped_count), static_cast<unsigned long long>(floor_count),
                    ratio, info.goal, meets ? "" : "  above its goal");
    }
    return within ? 0 : 1;
}
