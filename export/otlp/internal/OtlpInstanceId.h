// Internal to libzrperf-otlp: the service.instance.id every exporter of this
// process sends, a random (version 4) UUID made at its first use; a forked
// child makes its own.
//
// Thread-safety: InstanceId() may be called from any thread. Its lock is held
// across fork() by pthread_atfork handlers, so a child forked while another
// thread holds it finds it free and the id whole.

#ifndef ZRPERF_EXPORT_OTLP_INTERNAL_OTLPINSTANCEID_H_
#define ZRPERF_EXPORT_OTLP_INTERNAL_OTLPINSTANCEID_H_

#include <string>

namespace zrotlp {

// "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx" (36 characters), the same for every
// call in one process.
std::string InstanceId();

}  // namespace zrotlp

#endif  // ZRPERF_EXPORT_OTLP_INTERNAL_OTLPINSTANCEID_H_
