#include "CacheEmptier.h"

#include "MainController.h"
#include "ProtectionService.h"

namespace quillet::app {

CacheEmptier::CacheEmptier(MainController &main, ProtectionService &service) : QObject(&main), _main(main), _service(service) {}

void CacheEmptier::emptyCaches(int tag) { (void)tag; }
void CacheEmptier::uninstallSoftware() {}

} // namespace quillet::app
