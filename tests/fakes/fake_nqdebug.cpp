// Fake log writer: formats each message with vsnprintf and records it.
#include <cstdio>
#include <stdexcept>

#include "NqDebug.h"
#include "fake_host.h"
#include "fake_state.h"

namespace fake {

LogScript& log_script() { return kept<LogScript>(); }

std::vector<LogLine>& log_lines() { return kept<std::vector<LogLine>>(); }

std::vector<std::string> log_texts(const std::string& function) {
  std::vector<std::string> texts;
  for (const LogLine& line : log_lines()) {
    if (!line.functionNull && line.function == function) texts.push_back(line.text);
  }
  return texts;
}

std::vector<std::string> all_log_texts() {
  std::vector<std::string> texts;
  for (const LogLine& line : log_lines()) texts.push_back(line.text);
  return texts;
}

}  // namespace fake

NqDebug::NqDebug(NqDebugFileInstance* instance) : instance_(instance) {
  fake::journal().push_back(std::string("NqDebug::NqDebug(") + (instance ? "instance" : "null") +
                            ")");
}

NqDebug::~NqDebug() { fake::journal().push_back("NqDebug::~NqDebug()"); }

int NqDebug::initialize(NqDebugFileInstance* instance, unsigned int moduleId, long long instanceId,
                        bool mirrorToConsole, const std::string& logName) {
  fake::journal().push_back("NqDebug::initialize(" + std::string(instance ? "instance" : "null") +
                            "," + std::to_string(moduleId) + "," + std::to_string(instanceId) +
                            "," + (mirrorToConsole ? "true" : "false") + "," + logName + ")");
  if (fake::log_script().throwOnInitialize) throw std::runtime_error("writer initialize failed");
  instance_ = instance;
  instance->debugLevel = fake::log_script().debugLevel;
  return 0;
}

int NqDebug::setLogFileSize(unsigned long long size) {
  fake::journal().push_back("NqDebug::setLogFileSize(" + std::to_string(size) + ")");
  return 0;
}

int NqDebug::setMaxVersion(int versions) {
  fake::journal().push_back("NqDebug::setMaxVersion(" + std::to_string(versions) + ")");
  return 0;
}

void NqDebug::handleMsgEventDebug_NEW(int severity, const char* function, unsigned int code,
                                      int category, long long id, const char* file,
                                      const char* format, va_list args) {
  fake::journal().push_back(std::string("NqDebug::handleMsgEventDebug_NEW(") +
                            (function ? function : "null") + ")");
  if (fake::log_script().throwOnMessage) throw std::runtime_error("writer failed");
  fake::LogLine line;
  line.severity = severity;
  line.functionNull = function == nullptr;
  line.function = function ? function : "";
  line.code = code;
  line.category = category;
  line.id = id;
  line.fileNull = file == nullptr;
  line.formatNull = format == nullptr;
  if (format) {
    line.format = format;
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed > 0) {
      std::string text(static_cast<size_t>(needed) + 1, '\0');
      std::vsnprintf(&text[0], text.size(), format, args);
      text.resize(static_cast<size_t>(needed));
      line.text = text;
    }
  }
  fake::log_lines().push_back(line);
}
