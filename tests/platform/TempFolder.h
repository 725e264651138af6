// A fresh folder for one test, made the current directory and the data
// folder (XDG_DATA_HOME), and everything put back afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = std::filesystem::temp_directory_path() / "tkv-platform-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = std::filesystem::canonical(pattern);
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(folder_);
    SaveEnv("XDG_DATA_HOME", savedXdg_);
    SaveEnv("HOME", savedHome_);
    setenv("XDG_DATA_HOME", (folder_ / "data").c_str(), 1);
    setenv("HOME", (folder_ / "home").c_str(), 1);
  }

  void TearDown() override {
    std::filesystem::current_path(previous_);
    RestoreEnv("XDG_DATA_HOME", savedXdg_);
    RestoreEnv("HOME", savedHome_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  std::string Folder() const { return folder_.string(); }

  static void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    ASSERT_TRUE(out.good()) << path;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  static void SaveEnv(const char* name, std::optional<std::string>& saved) {
    const char* value = getenv(name);
    if (value != nullptr) saved = value;
  }
  static void RestoreEnv(const char* name, const std::optional<std::string>& saved) {
    if (saved) {
      setenv(name, saved->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }

  std::filesystem::path folder_;
  std::filesystem::path previous_;
  std::optional<std::string> savedXdg_;
  std::optional<std::string> savedHome_;
};
