// A fresh temporary folder per test, made the working directory while the
// test runs, and removed with its contents afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

class TempFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = std::filesystem::temp_directory_path() /
                  (std::string("qo-unit-") + info->test_suite_name() + "-" + info->name() + "-" +
                   std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        std::filesystem::current_path(folder_);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    static void write_file(const std::string& name, const std::string& bytes) {
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    std::filesystem::path previous_;
    std::filesystem::path folder_;
};
