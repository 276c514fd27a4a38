#include <Quorvel/Application.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>


using namespace Quorvel;

TEST(Application, HandleExceptionShowsTheMessageOrNothing) {
  std::vector<std::string> Shown;
  Application::SetExceptionDisplay([&](const std::string& M) { Shown.push_back(M); });
  try {
    throw std::runtime_error("There is no active connection");
  } catch (...) {
    Application::HandleException();  // the exception being handled
  }
  Application::HandleException(std::make_exception_ptr(EAbort()));
  Application::HandleException(std::make_exception_ptr(3.5));
  Application::HandleException(nullptr);
  Application::ShowException("plain text");
  EXPECT_EQ(Shown, (std::vector<std::string>{"There is no active connection", "Unknown exception", "plain text"}));
  Application::SetExceptionDisplay({});
}

TEST(Application, DefaultAndFailingDisplaysWriteToStandardError) {
  testing::internal::CaptureStderr();
  Application::HandleException(std::make_exception_ptr(std::runtime_error("to stderr")));
  Application::SetExceptionDisplay([](const std::string&) { throw std::logic_error("display broke"); });
  Application::HandleException(std::make_exception_ptr(std::runtime_error("still seen")));  // must not throw
  Application::SetExceptionDisplay({});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\nstill seen\n");
}
