// The Sparkplug B format of ksym publish: ksym is an edge node of a group, the station its
// one device. Under spBv1.0/GROUP: NBIRTH/NODE (bdSeq, and the metric "Node Control/Rebirth"),
// NDEATH/NODE (the will, with the bdSeq of the same connection), DBIRTH/NODE/DEVICE (every
// variable as a metric: name, alias, data type, value), DDATA/NODE/DEVICE (the changes, by
// alias only) and DDEATH/NODE/DEVICE when the station stops answering, with a new DBIRTH once
// it answers again. Every message of the node but NDEATH carries seq, 0 with NBIRTH and one
// more (wrapping after 255) with each after it. NCMD/NODE with "Node Control/Rebirth" true is
// answered with NBIRTH and DBIRTH; with writes allowed, the metrics of DCMD/NODE/DEVICE (by
// alias or name) are written to the station. Values the buffer kept while the broker was out
// of reach follow the births, marked is_historical. Nothing is retained.
#ifndef KSYM_TOOLS_PUBLISH_SPARKPLUG_PUBLISHER_H
#define KSYM_TOOLS_PUBLISH_SPARKPLUG_PUBLISHER_H

#include <memory>
#include <string>

#include "tools/ksym/publish/message_buffer.h"
#include "tools/ksym/publish/mqtt_link.h"
#include "tools/ksym/publish/publisher.h"

namespace ksymtool {

struct SparkplugIds {
    std::string group;
    std::string node;
    std::string device;
};

// An id must be a whole, non-empty topic level without MQTT's wildcards.
bool ValidSparkplugId(const std::string& id);

// "spBv1.0/GROUP/TYPE/NODE", and with a device "/DEVICE" after it.
std::string SparkplugTopic(const SparkplugIds& ids, const std::string& type, bool device);

// The name of the node's rebirth command metric.
constexpr const char* kRebirthMetric = "Node Control/Rebirth";

// `buffer` (may be null) keeps the values while the broker is out of reach, and its folder
// keeps the last bdSeq (so that a restart does not take the one of its predecessor's will);
// it and `link` outlive the publisher.
std::unique_ptr<Publisher> MakeSparkplugPublisher(MqttLink& link, MessageBuffer* buffer,
                                                  SparkplugIds ids,
                                                  const PublisherSettings& settings);

} // namespace ksymtool

#endif
