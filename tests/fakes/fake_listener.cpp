#include "fakes/fake_listener.h"

namespace USB {
namespace Fake {

Listener* Listener::last = nullptr;

Listener::~Listener()
{
    if (last == this)
        last = nullptr;
}

ListenerPort* Listener::Create()
{
    last = new Listener();
    return last;
}

}  // namespace Fake
}  // namespace USB
