// Program entry of the launchers. The product (installer or uninstaller) and whether console
// mode starts on are chosen when this file is compiled for each executable.
#include <stdint.h>

#include "base/product.h"
#include "core/startup.h"
#include "ui/output.h"

namespace {

template <Product P>
struct MainClassOf {
  static constexpr const auto &name = kInstallerClassName;
};
template <>
struct MainClassOf<Product::Uninstaller> {
  static constexpr const auto &name = kUninstallerClassName;
};

// An ELF note: three 32-bit words, then the owner and the description, each NUL-terminated and
// padded to four bytes.
template <size_t OwnerSize, size_t ClassSize>
struct ProductNote {
  uint32_t namesz, descsz, type;
  char owner[(OwnerSize + 3) & ~size_t{3}];
  char mainClass[(ClassSize + 3) & ~size_t{3}];
};

template <size_t OwnerSize, size_t ClassSize>
constexpr ProductNote<OwnerSize, ClassSize> MakeNote(const char (&owner)[OwnerSize],
                                                    const char (&mainClass)[ClassSize]) {
  ProductNote<OwnerSize, ClassSize> note{OwnerSize, ClassSize, kProductNoteType, {}, {}};
  for (size_t i = 0; i < OwnerSize; i++) note.owner[i] = owner[i];
  for (size_t i = 0; i < ClassSize; i++) note.mainClass[i] = mainClass[i];
  return note;
}

// Which product this executable is, for tools that read it without running it.
__attribute__((section(".note.corvane.product"), used, aligned(4))) constexpr auto kProductNote =
    MakeNote(kProductNoteOwner, MainClassOf<Product::LAUNCHER_PRODUCT>::name);

}  // namespace

int main(int argc, char **argv) {
  SelectProduct(Product::LAUNCHER_PRODUCT);
#if LAUNCHER_WINDOWED
  SetPrintToConsole(0);
#endif
  return LauncherMain(argc, argv);
}
