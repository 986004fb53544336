// The registry port: the one read the presentation layer makes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class IRegistry {
 public:
  virtual ~IRegistry() = default;
  // Opens `key` under HKEY_CURRENT_USER for query and reads the string value
  // `name` into a buffer of `bufferBytes` bytes. False when the key or value
  // is missing or does not fit.
  virtual bool ReadUserString(const std::u16string& key, const std::u16string& name,
                              std::size_t bufferBytes, std::u16string* value) = 0;
};
