#include "shared/keychain.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "shared/file_util.h"

namespace tallowick::Keychain {

namespace {

std::string folder(const std::string& storageDirectory) { return storageDirectory + "/keychain"; }

// Letters, digits, '-' and '_' stay; every other byte becomes %XX. The
// result holds no '/' and no '.', so it can be neither a path nor "." or "..",
// nor clash with the ".tmp-" files of an atomic write.
std::string escapeAccount(std::string_view account) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : account) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

}  // namespace

std::string itemPath(std::string_view account, const std::string& storageDirectory) {
  return folder(storageDirectory) + "/" + std::string(service) + "." + escapeAccount(account);
}

std::optional<Bytes> read(std::string_view account, const std::string& storageDirectory) {
  const std::string path = itemPath(account, storageDirectory);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  auto text = readWholeFile(path);
  if (!text) return std::nullopt;
  return Bytes(text->begin(), text->end());
}

bool write(const Bytes& data, std::string_view account, const std::string& storageDirectory) {
  if (!createDirectories(folder(storageDirectory), 0700)) return false;
  return writeFileAtomically(
      itemPath(account, storageDirectory),
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), 0600);
}

void remove(std::string_view account, const std::string& storageDirectory) {
  ::unlink(itemPath(account, storageDirectory).c_str());
}

}  // namespace tallowick::Keychain
