// A small deterministic fuzzing driver for the regular test run: feeds each
// seed, then random mutations of the seeds, to LLVMFuzzerTestOneInput under
// the sanitizers. Real coverage-guided fuzzing: scripts/fuzz.sh (libFuzzer).
//   driver [iterations] [seed files...]
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static std::vector<uint8_t> ReadFile(const char* path) {
  std::vector<uint8_t> bytes;
  if (FILE* f = fopen(path, "rb")) {
    int c;
    while ((c = fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    fclose(f);
  }
  return bytes;
}

int main(int argc, char** argv) {
  long iterations = argc > 1 ? atol(argv[1]) : 20000;
  std::vector<std::vector<uint8_t>> seeds;
  for (int i = 2; i < argc; i++) seeds.push_back(ReadFile(argv[i]));
  if (seeds.empty()) seeds.push_back({});
  std::mt19937 random(12345);
  for (const auto& seed : seeds) LLVMFuzzerTestOneInput(seed.data(), seed.size());
  static const uint8_t kInteresting[] = {0, '\\', '/', ':', '.', '=', ',', '[', ']', '\r', '\n',
                                         '&', '"', ' ', '\t', '-', '_', '!', ';', 0xFF, '9'};
  for (long i = 0; i < iterations; i++) {
    std::vector<uint8_t> input = seeds[random() % seeds.size()];
    int edits = 1 + static_cast<int>(random() % 8);
    for (int e = 0; e < edits; e++) {
      size_t at = input.empty() ? 0 : random() % (input.size() + 1);
      switch (random() % 5) {
        case 0:  // flip a byte
          if (!input.empty()) input[at % input.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
          break;
        case 1:  // insert an interesting byte
          input.insert(input.begin() + static_cast<long>(at), kInteresting[random() % sizeof kInteresting]);
          break;
        case 2:  // delete a run
          if (!input.empty()) input.erase(input.begin() + static_cast<long>(at % input.size()),
                                          input.begin() + static_cast<long>(std::min(input.size(), at % input.size() + 1 + random() % 16)));
          break;
        case 3:  // repeat a run, to reach the limits
          if (!input.empty()) {
            size_t from = at % input.size();
            size_t len = std::min<size_t>(input.size() - from, 1 + random() % 64);
            std::vector<uint8_t> run(input.begin() + static_cast<long>(from), input.begin() + static_cast<long>(from + len));
            for (int r = static_cast<int>(random() % 40); r > 0; r--) input.insert(input.begin() + static_cast<long>(from), run.begin(), run.end());
          }
          break;
        default:  // random byte
          input.insert(input.begin() + static_cast<long>(at), static_cast<uint8_t>(random()));
      }
    }
    if (input.size() > 200000) input.resize(200000);
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  printf("%ld inputs\n", iterations + static_cast<long>(seeds.size()));
  return 0;
}
