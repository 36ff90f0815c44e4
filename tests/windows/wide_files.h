#pragma once
// Files and text for the Windows tests, through the wide-character routines only, so that no
// name passes through a code page.

#include <set>
#include <string>

using Bytes = std::string;

std::string utf8(const std::wstring& wide);
std::wstring widen(const std::string& text);

bool read_file(const std::wstring& path, Bytes* bytes);
Bytes read_file(const std::wstring& path);  // empty when missing
void write_file(const std::wstring& path, const Bytes& bytes);
std::set<std::wstring> list_dir(const std::wstring& dir);
std::string describe(const std::set<std::wstring>& names);  // 'a' 'b' ...

// A fresh folder under the user's temporary folder, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::wstring path(const std::wstring& name) const { return root_ + L"\\" + name; }
  const std::wstring& root() const { return root_; }

 private:
  std::wstring root_;
};
