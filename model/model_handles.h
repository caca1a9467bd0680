// Handles of connections, nodes and tags: the objects' addresses. A tag handle is the address of
// its KreltaTag base.
#pragma once

#include "api/handles.h"
#include "model/connection.h"
#include "model/nodes.h"
#include "model/tags.h"

namespace krelta::api {

template <> struct HandleTraits<krelta2_connection> { using Object = Connection; };
template <> struct HandleTraits<krelta2_node> { using Object = Node; };
template <> struct HandleTraits<krelta2_tag> { using Object = KreltaTag; };

inline krelta2_connection Wrap(Connection* c) { return reinterpret_cast<krelta2_connection>(c); }
inline krelta2_node Wrap(Node* n) { return reinterpret_cast<krelta2_node>(n); }
inline krelta2_tag Wrap(KreltaTag* t) { return reinterpret_cast<krelta2_tag>(t); }

}  // namespace krelta::api
