// A host converting many large photographs from several threads at once: the wall time for
// each of THREADS threads to convert the photograph COUNT times, each into a file of its own.
//   host_threads THREADS COUNT OUT_FOLDER PHOTO.jpg

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bmpsepia.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: host_threads THREADS COUNT OUT_FOLDER PHOTO.jpg\n");
    return 2;
  }
  const int threads = atoi(argv[1]);
  const int count = atoi(argv[2]);
  const std::string photo = argv[4];
  const std::u16string in(photo.begin(), photo.end());
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> hosts;
  for (int t = 0; t < threads; ++t) {
    hosts.emplace_back([&, t] {
      const std::string out = std::string(argv[3]) + "/host-" + std::to_string(t) + ".bmp";
      const std::u16string wide(out.begin(), out.end());
      for (int k = 0; k < count; ++k) BMPSepia(in.c_str(), wide.c_str());
      remove(out.c_str());
    });
  }
  for (std::thread& host : hosts) host.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%d host threads x %d conversions: %.2f s\n", threads, count, seconds);
  return 0;
}
