#include "app/state_texts.h"

StateTexts TextsForState(CMainController::State state) {
  switch (state) {
    case CMainController::NetworkError:
      return {u"网络异常", u"请确认您的电脑已连接网络。", 14};
    case CMainController::Connected:
      return {u"连接成功", u"现在可以用手机控制你的PPT啦！", 14};
    case CMainController::Connecting:
    case CMainController::ConnectFailed:
    case CMainController::WaitingForPhone:
      break;
  }
  return {u"扫描二维码即可在手机控制PPT", u"手机和电脑需连接网络", 12};
}
