// A Windows host as the library's users write one: it loads bmpsepia.dll at run time, finds
// BMPSepia by name and converts each pair of files on its command line, printing one line per
// pair: the result, the input path and the output path, tab-separated, in UTF-8.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

using BMPSepiaFunction = int (*)(const wchar_t* jpeg_path, const wchar_t* bmp_path);

std::string utf8(const wchar_t* wide) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string text(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), bytes, nullptr, nullptr);
  text.pop_back();
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || argc % 2 != 1) {
    fputs("usage: bmpsepia_host IN.jpg OUT.bmp [IN.jpg OUT.bmp]...\n", stderr);
    return 2;
  }
  HMODULE library = LoadLibraryW(L"bmpsepia.dll");
  if (library == nullptr) {
    fprintf(stderr, "cannot load bmpsepia.dll (error %lu)\n", GetLastError());
    return 2;
  }
  // GetProcAddress hands back a generic function pointer; this is the exported signature.
  const auto convert = reinterpret_cast<BMPSepiaFunction>(
      reinterpret_cast<void*>(GetProcAddress(library, "BMPSepia")));
  if (convert == nullptr) {
    fputs("bmpsepia.dll does not export BMPSepia\n", stderr);
    return 2;
  }
  _setmode(_fileno(stdout), _O_BINARY);
  for (int i = 1; i + 1 < argc; i += 2) {
    const int result = convert(argv[i], argv[i + 1]);
    printf("%d\t%s\t%s\n", result, utf8(argv[i]).c_str(), utf8(argv[i + 1]).c_str());
    fflush(stdout);
  }
  FreeLibrary(library);
  return 0;
}
