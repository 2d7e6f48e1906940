// Names a value-parameterised test after its case's `name` field, with every
// character GoogleTest does not accept in a test name turned into '_'.
#pragma once

#include <cctype>
#include <string>

struct CaseName {
  template <class Info>
  std::string operator()(const Info& info) const {
    std::string name = info.param.name;
    for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
  }
};
