#pragma once
// The name GoogleTest gives a case of a table whose rows carry a name:
// that name, each character that is neither letter nor digit made '_'.

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace korvalinth::test {

struct CaseName {
  template <class Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& i) const {
    std::string name = i.param.name;
    for (char& ch : name)
      if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
  }
};

}  // namespace korvalinth::test
