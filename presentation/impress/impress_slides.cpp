// The deck's slides and the document's state, for the phone's picture of
// the deck: the page size, the number of slides, each slide exported as an
// image at a given pixel size, the document's location, and whether it
// changed since it was saved. None of these needs a running show.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/drawing/GraphicExportFilter.hpp>
#include <com/sun/star/drawing/XDrawPagesSupplier.hpp>
#include <com/sun/star/frame/XTitle.hpp>
#include <com/sun/star/util/XModifiable.hpp>
#include <osl/file.hxx>

#include "presentation/impress/impress_uno.h"

using namespace impress_uno;
using css::uno::Any;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;

bool CImpressLink::SlideSize(std::int32_t* width, std::int32_t* height) {
  auto size = std::make_shared<std::pair<std::int32_t, std::int32_t>>(0, 0);
  bool ok = Run([size](Uno& u) {
    Reference<css::drawing::XDrawPagesSupplier> pages(u.FindDocument(), UNO_QUERY);
    if (!pages.is()) return false;
    Reference<css::container::XIndexAccess> all(pages->getDrawPages(), UNO_QUERY_THROW);
    if (all->getCount() < 1) return false;
    Reference<css::beans::XPropertySet> first(all->getByIndex(0), UNO_QUERY_THROW);
    first->getPropertyValue("Width") >>= size->first;
    first->getPropertyValue("Height") >>= size->second;
    return size->first > 0 && size->second > 0;
  });
  *width = size->first;
  *height = size->second;
  return ok;
}

namespace {

// The draw pages of the document Pivaro drives; null when there is none.
Reference<css::container::XIndexAccess> DrawPages(CImpressLink::Uno& u) {
  Reference<css::drawing::XDrawPagesSupplier> pages(u.FindDocument(), UNO_QUERY);
  if (!pages.is()) return {};
  return Reference<css::container::XIndexAccess>(pages->getDrawPages(), UNO_QUERY);
}

css::beans::PropertyValue Property(const char* name, const Any& value) {
  css::beans::PropertyValue property;
  property.Name = OUString::createFromAscii(name);
  property.Value = value;
  return property;
}

}  // namespace

bool CImpressLink::SlideCount(std::int32_t* count) {
  auto value = std::make_shared<std::int32_t>(0);
  bool ok = Run([value](Uno& u) {
    Reference<css::container::XIndexAccess> pages = DrawPages(u);
    if (!pages.is()) return false;
    *value = pages->getCount();
    return true;
  });
  *count = *value;
  return ok;
}

bool CImpressLink::ExportSlide(std::int32_t index, const std::string& path, std::int32_t width,
                               std::int32_t height) {
  if (path.empty() || path[0] != '/' || width <= 0 || height <= 0 || width > kMaxExportSide ||
      height > kMaxExportSide)
    return false;
  // The office would make missing folders on the way: the picture goes only
  // into a folder that is there.
  const std::string folder = path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
  struct stat folderStat {};
  if (stat(folder.c_str(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode)) return false;
  OUString url;
  if (osl::FileBase::getFileURLFromSystemPath(ToOu(path), url) != osl::FileBase::E_None)
    return false;
  const bool ok = Run(
      [index, url, width, height](Uno& u) {
        Reference<css::container::XIndexAccess> pages = DrawPages(u);
        if (!pages.is() || index < 0 || index >= pages->getCount()) return false;
        Reference<css::lang::XComponent> page(pages->getByIndex(index), UNO_QUERY_THROW);
        Reference<css::drawing::XGraphicExportFilter> filter =
            css::drawing::GraphicExportFilter::create(u.remote);
        filter->setSourceDocument(page);
        Sequence<css::beans::PropertyValue> size(2);
        size.getArray()[0] = Property("PixelWidth", Any(width));
        size.getArray()[1] = Property("PixelHeight", Any(height));
        Sequence<css::beans::PropertyValue> descriptor(3);
        descriptor.getArray()[0] = Property("URL", Any(url));
        descriptor.getArray()[1] = Property("MediaType", Any(OUString("image/png")));
        descriptor.getArray()[2] = Property("FilterData", Any(size));
        return static_cast<bool>(filter->filter(descriptor));
      },
      uno_->options.exportLimit);
  // Whatever a failed export left behind is no image.
  if (!ok) unlink(path.c_str());
  return ok;
}

bool CImpressLink::DocumentPath(std::u16string* path) {
  auto value = std::make_shared<std::u16string>();
  bool ok = Run([value](Uno& u) {
    Reference<css::frame::XModel> doc = u.FindDocument();
    if (!doc.is()) return false;
    OUString system;
    const OUString url = doc->getURL();
    // Read through ToU16 first, like every string UNO hands over.
    const std::u16string urlText = ToU16(url);
    if (!urlText.empty() &&
        osl::FileBase::getSystemPathFromFileURL(url, system) == osl::FileBase::E_None) {
      *value = ToU16(system);
    } else if (!urlText.empty()) {
      *value = urlText;
    } else {
      // Never saved: the office's own name for it ("Untitled 1").
      Reference<css::frame::XTitle> named(doc, UNO_QUERY);
      if (named.is()) *value = ToU16(named->getTitle());
    }
    return true;
  });
  *path = *value;
  return ok;
}

bool CImpressLink::IsModified(bool* modified) {
  auto value = std::make_shared<bool>(false);
  bool ok = Run([value](Uno& u) {
    Reference<css::util::XModifiable> doc(u.FindDocument(), UNO_QUERY);
    if (!doc.is()) return false;
    *value = doc->isModified();
    return true;
  });
  *modified = *value;
  return ok;
}
