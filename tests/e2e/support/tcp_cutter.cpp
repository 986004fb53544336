#include "tests/e2e/support/tcp_cutter.h"

#include <array>
#include <boost/asio.hpp>
#include <future>
#include <set>
#include <thread>

namespace e2e {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {
struct Pipe : std::enable_shared_from_this<Pipe> {
  explicit Pipe(asio::io_context& io) : client(io), broker(io) {}
  tcp::socket client;
  tcp::socket broker;
  std::array<char, 8192> up{};
  std::array<char, 8192> down{};

  void Pump(tcp::socket& from, tcp::socket& to, std::array<char, 8192>& buffer) {
    auto self = shared_from_this();
    from.async_read_some(
        asio::buffer(buffer),
        [self, &from, &to, &buffer](const boost::system::error_code& ec, std::size_t n) {
          if (ec) return self->Reset();
          asio::async_write(
              to, asio::buffer(buffer.data(), n),
              [self, &from, &to, &buffer](const boost::system::error_code& ec2, std::size_t) {
                if (ec2) return self->Reset();
                self->Pump(from, to, buffer);
              });
        });
  }
  // Closes with a reset (linger 0) so neither end sees an orderly goodbye.
  void Reset() {
    boost::system::error_code ignored;
    for (tcp::socket* s : {&client, &broker}) {
      if (!s->is_open()) continue;
      s->set_option(asio::socket_base::linger(true, 0), ignored);
      s->close(ignored);
    }
  }
};
}  // namespace

struct TcpCutter::Impl {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  tcp::acceptor acceptor{io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)};
  tcp::endpoint target;
  std::set<std::shared_ptr<Pipe>> pipes;
  std::thread thread;

  void Accept() {
    auto pipe = std::make_shared<Pipe>(io);
    acceptor.async_accept(pipe->client, [this, pipe](const boost::system::error_code& ec) {
      if (ec) return;
      boost::system::error_code connectError;
      pipe->broker.connect(target, connectError);
      if (connectError) {
        pipe->Reset();
      } else {
        pipes.insert(pipe);
        pipe->Pump(pipe->client, pipe->broker, pipe->up);
        pipe->Pump(pipe->broker, pipe->client, pipe->down);
      }
      Accept();
    });
  }
};

TcpCutter::TcpCutter(std::uint16_t target) : impl_(std::make_unique<Impl>()) {
  impl_->target = tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), target);
  impl_->Accept();
  impl_->thread = std::thread([this] { impl_->io.run(); });
}

TcpCutter::~TcpCutter() {
  asio::post(impl_->io, [this] {
    boost::system::error_code ignored;
    impl_->acceptor.close(ignored);
    for (auto& p : impl_->pipes) p->Reset();
    impl_->pipes.clear();
  });
  impl_->work.reset();
  impl_->thread.join();
}

std::uint16_t TcpCutter::Port() const { return impl_->acceptor.local_endpoint().port(); }

void TcpCutter::CutAll() {
  std::promise<void> done;
  asio::post(impl_->io, [this, &done] {
    for (auto& p : impl_->pipes) p->Reset();
    impl_->pipes.clear();
    done.set_value();
  });
  done.get_future().wait_for(std::chrono::seconds(5));
}

}  // namespace e2e
