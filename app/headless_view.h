// A window without a screen, for running the controller in tests, tools and
// benchmarks: it keeps what a window would show (the visible controls, the
// pairing address, the PC-drawn laser dot) and answers the close question
// with a preset answer. The controller calls it on the UI thread only; the
// getters may be called from any thread.
#pragma once

#include <mutex>
#include <string>

#include "app/main_view.h"

class CHeadlessView : public IMainView {
 public:
  struct Snapshot {
    bool loading = false;
    bool retryText = false;
    bool connectButton = false;
    std::u16string connectCaption;
    bool cancelText = false;
    bool qrCode = false;
    std::string pairingAddress;
    bool laserShown = false;
    double laserX = 0.0;
    double laserY = 0.0;
    int laserMoves = 0;
    int ended = 0;  // EndDialog's result, 0 while running
    bool requiredUpdate = false;
  };

  Snapshot Get() const {
    std::lock_guard<std::mutex> lock(lock_);
    return s_;
  }
  void SetCloseAnswer(bool confirm) {
    std::lock_guard<std::mutex> lock(lock_);
    closeAnswer_ = confirm;
  }

  void ShowLoading(bool show) override { Set(&Snapshot::loading, show); }
  void SetLoadingAnimation(bool) override {}
  void ShowRetryText(bool show) override { Set(&Snapshot::retryText, show); }
  void ShowConnectButton(bool show) override { Set(&Snapshot::connectButton, show); }
  void SetConnectButtonText(const std::u16string& caption) override {
    std::lock_guard<std::mutex> lock(lock_);
    s_.connectCaption = caption;
  }
  void ShowCancelText(bool show) override { Set(&Snapshot::cancelText, show); }
  void ShowQrCode(bool show) override { Set(&Snapshot::qrCode, show); }
  void SetPairingAddress(const std::string& address) override {
    std::lock_guard<std::mutex> lock(lock_);
    s_.pairingAddress = address;
  }
  void Invalidate() override {}
  void ShowLaser(double x, double y) override {
    std::lock_guard<std::mutex> lock(lock_);
    s_.laserShown = true;
    s_.laserX = x;
    s_.laserY = y;
  }
  void MoveLaser(double x, double y) override {
    std::lock_guard<std::mutex> lock(lock_);
    if (!s_.laserShown) return;  // a move never creates the dot
    s_.laserX = x;
    s_.laserY = y;
    ++s_.laserMoves;
  }
  void HideLaser() override { Set(&Snapshot::laserShown, false); }
  void RestoreIfMinimized() override {}
  bool ConfirmClose() override {
    std::lock_guard<std::mutex> lock(lock_);
    return closeAnswer_;
  }
  void DestroyShadow() override {}
  void EndDialog(int result) override {
    std::lock_guard<std::mutex> lock(lock_);
    s_.ended = result;
  }
  void RunRequiredUpdate() override {
    std::lock_guard<std::mutex> lock(lock_);
    s_.requiredUpdate = true;
    s_.ended = 2;
  }

 private:
  void Set(bool Snapshot::*field, bool value) {
    std::lock_guard<std::mutex> lock(lock_);
    s_.*field = value;
  }

  mutable std::mutex lock_;
  Snapshot s_;
  bool closeAnswer_ = true;
};
