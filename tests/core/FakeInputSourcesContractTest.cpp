#include "contract/InputSourceServicesContract.h"
#include "fakes/FakePlatform.h"
#include "input_source/InputSourceIdentifiers.h"

namespace lullswitch {
namespace {

using namespace contract;

// The in-memory input sources, held to the same contract as the real
// backends.
class FakeDriver {
public:
    platform::InputSourceServices& services() { return platform.inputSources; }
    std::string layoutId() const { return "keyboard-us"; }
    std::string imeId() const { return "anthy"; }

    void arrangeLayoutThenIme()
    {
        platform.inputSources.setIdentifiers(linuxInputSourceIdentifiers());
        platform.inputSources.setSources(
            { fakes::FakeSource { layoutId(), true, true, 0 }, fakes::FakeSource { imeId(), true, false, 0 } });
        platform.inputSources.setCurrent(1);
    }
    std::optional<std::string> currentAsThePlatformSaysIt() { return platform.inputSources.currentIdentifier(); }
    void makeUnavailable()
    {
        platform.inputSources.setCurrent(std::nullopt);
        platform.inputSources.setListUnavailable(true);
    }

    fakes::FakePlatform platform;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Fake, InputSourceServicesContract, FakeDriver);

} // namespace
} // namespace lullswitch
