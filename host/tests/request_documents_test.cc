#include "request_documents.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace ringwell::host {
namespace {

std::string Request(int rings) {
  return "<Request><NumberOfRings dt:dt=\"int\" xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">" +
         std::to_string(rings) + "</NumberOfRings></Request>";
}

int Rings(const xml::Document& document) {
  return document.FirstChild().child("NumberOfRings").text().as_int();
}

TEST(RequestDocumentsTest, CallsOfOneRequestShareOneDocumentOfTheirText) {
  const std::string text = Request(4);
  std::vector<std::shared_ptr<const xml::Document>> got(8);
  {
    std::vector<std::jthread> lines;
    // Each line has its own copy of the text, as each call gets one.
    for (auto& document : got) {
      lines.emplace_back([&document, copy = text] { document = SharedRequestDocument(copy); });
    }
  }
  ASSERT_TRUE(got[0]);
  EXPECT_EQ(Rings(*got[0]), 4);
  for (const auto& document : got) EXPECT_EQ(document.get(), got[0].get());
  // Another request, even one differing in one character, has its own.
  const auto other = SharedRequestDocument(Request(5));
  ASSERT_TRUE(other);
  EXPECT_EQ(Rings(*other), 5);
  EXPECT_EQ(SharedRequestDocument(text).get(), got[0].get());
}

TEST(RequestDocumentsTest, ATextThatIsNotADocumentGivesNone) {
  EXPECT_FALSE(SharedRequestDocument("<Request><NumberOfRings>"));
  EXPECT_FALSE(SharedRequestDocument(""));
}

TEST(RequestDocumentsTest, ADocumentDroppedFromTheKeptOnesLivesOnForItsHolders) {
  const std::string text = Request(100);
  const auto held = SharedRequestDocument(text);
  ASSERT_TRUE(held);
  for (std::size_t i = 0; i < kKeptRequestDocuments; ++i) {
    ASSERT_TRUE(SharedRequestDocument(Request(200 + static_cast<int>(i))));
  }
  const auto again = SharedRequestDocument(text);
  ASSERT_TRUE(again);
  EXPECT_NE(again.get(), held.get());  // parsed anew
  EXPECT_EQ(Rings(*held), 100);
  EXPECT_EQ(Rings(*again), 100);
}

}  // namespace
}  // namespace ringwell::host
