#include "wide_files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

std::string utf8(const std::wstring& wide) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(bytes > 0 ? bytes : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text.data(), bytes, nullptr, nullptr);
  text.pop_back();
  return text;
}

std::wstring widen(const std::string& text) {
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(units > 0 ? units : 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), units);
  wide.pop_back();
  return wide;
}

bool read_file(const std::wstring& path, Bytes* bytes) {
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) return false;
  bytes->clear();
  char chunk[65536];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;) bytes->append(chunk, n);
  fclose(file);
  return true;
}

Bytes read_file(const std::wstring& path) {
  Bytes bytes;
  read_file(path, &bytes);
  return bytes;
}

void write_file(const std::wstring& path, const Bytes& bytes) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  ASSERT_NE(file, nullptr) << utf8(path);
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
}

std::set<std::wstring> list_dir(const std::wstring& dir) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.insert(name);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return names;
}

std::string describe(const std::set<std::wstring>& names) {
  std::string text;
  for (const std::wstring& name : names) text += "'" + utf8(name) + "' ";
  return text;
}

namespace {

void remove_tree(const std::wstring& dir) {
  for (const std::wstring& name : list_dir(dir)) {
    const std::wstring path = dir + L"\\" + name;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(path.c_str())) remove_tree(path);
  }
  RemoveDirectoryW(dir.c_str());
}

}  // namespace

TempDir::TempDir() {
  wchar_t base[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, base);
  static int counter = 0;
  for (;;) {
    root_ = std::wstring(base) + L"bmpsepia-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter);
    if (CreateDirectoryW(root_.c_str(), nullptr)) break;
  }
}

TempDir::~TempDir() { remove_tree(root_); }
