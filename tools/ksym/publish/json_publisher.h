// The JSON format of ksym publish, under a topic root: ROOT/state ("online", "station-lost",
// and "offline", which is also the will), ROOT/birth and ROOT/value/NAME, all retained; with
// writes allowed, ROOT/set/NAME takes a value and ROOT/set-result/NAME answers. See
// json_topics.h for the topics and payloads.
#ifndef KSYM_TOOLS_PUBLISH_JSON_PUBLISHER_H
#define KSYM_TOOLS_PUBLISH_JSON_PUBLISHER_H

#include <memory>
#include <string>

#include "tools/ksym/publish/message_buffer.h"
#include "tools/ksym/publish/mqtt_link.h"
#include "tools/ksym/publish/publisher.h"

namespace ksymtool {

// `buffer` (may be null) keeps the values while the broker is out of reach; it and `link`
// outlive the publisher.
std::unique_ptr<Publisher> MakeJsonPublisher(MqttLink& link, MessageBuffer* buffer,
                                             std::string root, const PublisherSettings& settings);

} // namespace ksymtool

#endif
