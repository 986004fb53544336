// The two lines of text the main window shows in each state, and the other
// fixed texts of the window and its dialogs that every front end shows.
#pragma once

#include "app/controller.h"
#include "build_settings.h"

struct StateTexts {
  const char16_t* first;
  const char16_t* second;
  int pixelSize;  // 12 under the QR code or animation, 14 beside an image
};

StateTexts TextsForState(CMainController::State state);

constexpr char16_t kTitleText[] = u"Pivaro";
constexpr char16_t kRetryText[] = u"网络异常，请点击重新获取二维码";
constexpr char16_t kCancelText[] = u"取消";
// The connect button's two captions: while a phone is connected, and after
// the presenter disconnected it.
constexpr char16_t kDisconnectButton[] = u"断开连接";
constexpr char16_t kReconnectButton[] = u"重新连接";
// Sent to the phone with the state when WPS Presentation was opened before
// the program, so that automation cannot reach it.
constexpr char16_t kWpsOpenedFirstText[] =
    u"您已打开WPS演示。\nWPS须在Pivaro运行以后再打开。\n请重新打开WPS演示。";
// Under the QR code when only one transport could start; the other one is
// tried again in the background.
constexpr char16_t kRelayUnreachableNote[] = u"云端服务暂不可用，手机请连接同一局域网";
constexpr char16_t kLanUnavailableNote[] = u"局域网连接暂不可用，正在使用云端服务";
constexpr char16_t kCloseTitle[] = u"关闭Pivaro";
constexpr char16_t kCloseQuestion[] = u"关闭窗口将断开手机和电脑的连接，您确认断开？";
constexpr char16_t kCloseConfirm[] = u"关闭并断开";
constexpr char16_t kUpdateNotice[] =
    u"Pivaro有新版本，需更新才能正常使用。\n请移步官网下载最新版本";
constexpr char16_t kUpdateTitle[] = u"更新";
constexpr char16_t kDownloadButton[] = u"去官网下载";
constexpr char16_t kCloseTooltip[] = u"关闭";
constexpr char16_t kAboutTitle[] = u"关于";
constexpr char16_t kAboutVersion[] = u"版本号: " PIVARO_VERSION;
constexpr char16_t kWebsiteLabel[] = u"官方网站:";
constexpr char16_t kCopyrightLine1[] = u"Copyright © 2026 Pivaro. All rights reserved.";
constexpr char16_t kCopyrightLine2[] = u"版权所有 © 2026 Pivaro，保留所有权利。";
constexpr char16_t kAgreementText[] = u"查看用户协议";
constexpr char16_t kAboutOk[] = u"确定";
// The product's web page (the official website link and the update flow).
constexpr char kOfficialWebsite[] = PIVARO_WEBSITE_URL;
// The user agreement, a page of the official website.
constexpr char kAgreementPage[] = PIVARO_WEBSITE_URL "xieyi.html";
