#include "ZRLWYSIWYGPlugin/ZRLEventSource.h"

#include "ZRLRTAPlugin/ZRLRTAPlugin.h"
#include "ZRLWYSIWYGPlugin/ZRLDashboard.h"
#include "ZRLWYSIWYGPlugin/ZRLLog.h"
#include "ZorlanSDK/ZorlanSDK.h"

namespace {

constexpr const char* kConnectLocation = "-[ZRLEventSource connect]";
constexpr const char* kHandlerLocation = "-[ZRLEventSource connect]_block_invoke";

// The display type of a preview message: "ui" then "display_type", when
// both are of the expected kinds.
std::optional<std::string> displayTypeOf(const nlohmann::json& message) {
  const auto ui = message.find("ui");
  if (ui == message.end() || !ui->is_object()) return std::nullopt;
  const auto type = ui->find("display_type");
  if (type == ui->end() || !type->is_string()) return std::nullopt;
  return type->get<std::string>();
}

struct ObserverState {
  std::mutex mutex;
  std::shared_ptr<const ZRLEventSource::ClientObserver> observer;
};

ObserverState& observerState() {
  static ObserverState* state = new ObserverState();  // NOLINT: process lifetime
  return *state;
}

}  // namespace

void ZRLEventSource::setClientObserver(ClientObserver observer) {
  auto next = observer ? std::make_shared<const ClientObserver>(std::move(observer)) : nullptr;
  std::lock_guard lock(observerState().mutex);
  observerState().observer = std::move(next);
}

ZRLEventSource::~ZRLEventSource() {
  if (client_) client_->close();
}

std::shared_ptr<LDEventSource> ZRLEventSource::client() const {
  std::lock_guard lock(mutex_);
  return client_;
}

void ZRLEventSource::connect() {
  const std::string address =
      kZRLSSEUIConfigURL() +
      ZRLPercentEncodedIdentifier(ZRLController::sharedController()->applicationIdentifier());
  NSURLPtr url = NSURL::URLWithString(address);
  if (!url) {
    ZRLLogError(kConnectLocation, "Invalid preview stream address: %@", address);
    return;
  }
  auto client = LDEventSource::eventSourceWithURL(url, std::nullopt);
  client->onMessage(&ZRLEventSource::handleMessage);
  std::shared_ptr<const ClientObserver> observer;
  {
    std::lock_guard lock(observerState().mutex);
    observer = observerState().observer;
  }
  if (observer) (*observer)(client);

  std::shared_ptr<LDEventSource> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::exchange(client_, client);
  }
  if (previous) {
    previous->close();
    client->setLastEventID(previous->lastEventID());
  }
  client->open();
}

void ZRLEventSource::handleMessage(const LDEventPtr& event) {
  if (!event) return;
  ZRLLogDebug(kHandlerLocation, "Received message with data %@", event->data());
  // A record without data (a keep-alive comment block) carries no preview.
  if (!event->data()) return;
  const std::optional<nlohmann::json> message =
      ZRLUtilities::dictionaryFromJsonString(event->data());
  if (!message) {
    ZRLLogError(kHandlerLocation, "Ignoring preview message that is not a JSON object: %@",
                event->data());
    return;
  }
  const std::optional<std::string> displayType = displayTypeOf(*message);
  ZRLLogInfo(kHandlerLocation, "Preview for %@", displayType);
  if (displayType == "coach_mark") {
    ZRLCoachMarkHelper::sharedHelper()->buildAndShowCoachMarkWithUIConfig(*message);
  } else if (displayType == "inline") {
    ZRLTooltipBuilder::sharedBuilder()->buildAndShowInlineActionWithUIConfig(*message);
  } else if (displayType == "passive_nudge") {
    ZRLNudgeHelper::sharedHelper()->buildAndShowNudgeWithUIConfig(*message);
  } else {
    // The optional itself: no copy of a message of any depth.
    ZRLInapp::sharedInstance()->buildAndShowInAppWithUIConfig(message);
  }
}
