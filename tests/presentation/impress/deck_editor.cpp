#include "tests/presentation/impress/deck_editor.h"

#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/connection/Connector.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/drawing/XDrawPages.hpp>
#include <com/sun/star/drawing/XDrawPagesSupplier.hpp>
#include <com/sun/star/frame/Desktop.hpp>

#include "presentation/impress/impress_uno.h"

using namespace impress_uno;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;

bool AddSlideInOffice(const std::string& pipeName) {
  Reference<css::uno::XComponentContext> local = LocalContext();
  if (!local.is()) return false;
  Reference<css::lang::XComponent> bridge;
  bool added = false;
  try {
    Reference<css::connection::XConnection> connection =
        css::connection::Connector::create(local)->connect("pipe,name=" + ToOu(pipeName));
    Reference<css::bridge::XBridge> b =
        css::bridge::BridgeFactory::create(local)->createBridge("", "urp", connection, nullptr);
    bridge.set(b, UNO_QUERY_THROW);
    Reference<css::uno::XComponentContext> remote(b->getInstance("StarOffice.ComponentContext"),
                                                  UNO_QUERY_THROW);
    Reference<css::container::XEnumeration> all =
        css::frame::Desktop::create(remote)->getComponents()->createEnumeration();
    while (!added && all->hasMoreElements()) {
      Reference<css::uno::XInterface> component(all->nextElement(), UNO_QUERY);
      Reference<css::drawing::XDrawPagesSupplier> deck(component, UNO_QUERY);
      if (!IsPresentation(component) || !deck.is()) continue;
      Reference<css::drawing::XDrawPages> pages = deck->getDrawPages();
      pages->insertNewByIndex(pages->getCount() - 1);
      added = true;
    }
  } catch (const css::uno::Exception&) {
    added = false;
  }
  try {
    if (bridge.is()) bridge->dispose();
  } catch (const css::uno::Exception&) {
  }
  return added;
}
