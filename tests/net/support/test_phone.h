// A phone as the tests see it: a Paho asynchronous client on the relay
// topic that publishes JSON texts and collects what arrives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

class TestPhone {
 public:
  // Connects to the broker and subscribes to the topic (QoS 2); check Ok().
  TestPhone(const std::string& uri, const std::string& clientId, const std::string& topic);
  ~TestPhone();
  TestPhone(const TestPhone&) = delete;
  TestPhone& operator=(const TestPhone&) = delete;

  bool Ok() const { return ok_; }
  // Publishes and waits for the QoS 2 exchange to finish.
  bool Publish(const std::string& payload, int qos = 2);
  // The next received payload, or false after the time limit.
  bool Next(std::string& payload, std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Waits for the next payload whose text contains `part`, skipping others.
  bool NextContaining(const std::string& part, std::string& payload,
                      std::chrono::milliseconds limit = std::chrono::seconds(5));

  static void OnMessage(TestPhone* phone, const char* data, std::size_t size);

 private:
  void* client_ = nullptr;
  bool ok_ = false;
  std::string topic_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::string> inbox_;
};
