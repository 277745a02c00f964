#include "checkpoints/checkpoint_to_py.hpp"

#include <array>
#include <string_view>

#include "kit/convert.hpp"
#include "kit/errors.hpp"
#include "values/py_json.hpp"

namespace korvalinth::py {

namespace {

// The record's fixed texts: its keys and its kind names. Each dict is
// filled in ascending byte order of its keys, the order of the JSON form.
enum Word : unsigned {
  kActivated,
  kAt,
  kBackendState,
  kCheckpoint,
  kConfig,
  kConfigVersion,
  kCtxState,
  kData,
  kDeps,
  kEdges,
  kError,
  kFactory,
  kFrom,
  kHasCalledFnOnce,
  kId,
  kKind,
  kLifecycle,
  kMeta,
  kMounts,
  kName,
  kNodes,
  kPersist,
  kReason,
  kRef,
  kStatus,
  kTerminal,
  kTo,
  kValue,
  kVersion,
  kKindData,
  kKindSentinel,
  kKindRegistryRef,
  kKindLocalOnly,
  kKindNone,
  kKindComplete,
  kKindError,
  kWordCount
};

constexpr std::array<std::string_view, kWordCount> kWords = {
    "activated", "at",     "backendState", "checkpoint", "config",    "configVersion", "ctxState",  "data",
    "deps",      "edges",  "error",        "factory",    "from",      "hasCalledFnOnce", "id",      "kind",
    "lifecycle", "meta",   "mounts",       "name",       "nodes",     "persist",       "reason",    "ref",
    "status",    "terminal", "to",         "value",      "version",   "DATA",          "SENTINEL",  "registry-ref",
    "local-only", "none",  "COMPLETE",     "ERROR"};

class RecordWriter {
 public:
  RecordWriter() {
    for (unsigned i = 0; i < kWordCount; ++i) words_[i] = kit::decode_utf8(kWords[i]);
  }

  kit::OwnedRef checkpoint(const GraphCheckpoint& c) {
    kit::OwnedRef out = new_dict();
    kit::OwnedRef edges = new_list();
    for (const GraphCheckpointEdge& edge : c.edges) {
      kit::OwnedRef e = new_dict();
      set(e, kFrom, text(edge.from));
      set(e, kTo, text(edge.to));
      append(edges, e);
    }
    set(out, kEdges, std::move(edges));
    if (c.mounts) {
      kit::OwnedRef mounts = new_list();
      for (const GraphCheckpointMount& mount : *c.mounts) {
        kit::OwnedRef m = new_dict();
        set(m, kAt, text(mount.at));
        set(m, kCheckpoint, checkpoint(mount.checkpoint));
        append(mounts, m);
      }
      set(out, kMounts, std::move(mounts));
    }
    if (c.name) set(out, kName, text(*c.name));
    kit::OwnedRef nodes = new_list();
    for (const GraphCheckpointNode& n : c.nodes) append(nodes, node(n));
    set(out, kNodes, std::move(nodes));
    set(out, kVersion, text(c.version));
    return out;
  }

  kit::OwnedRef node(const GraphCheckpointNode& n) {
    kit::OwnedRef out = new_dict();
    if (n.backend_state) set(out, kBackendState, json_.convert(*n.backend_state));
    kit::OwnedRef ctx_state = new_dict();
    set(ctx_state, kPersist, boolean(n.ctx_state.persist));
    set(ctx_state, kValue, value(n.ctx_state.value));
    set(out, kCtxState, std::move(ctx_state));
    kit::OwnedRef deps = new_list();
    for (const std::string& dep : n.deps) append(deps, text(dep));
    set(out, kDeps, std::move(deps));
    set(out, kFactory, factory(n.factory));
    set(out, kId, text(n.id));
    kit::OwnedRef lifecycle = new_dict();
    set(lifecycle, kActivated, boolean(n.lifecycle.activated));
    set(lifecycle, kHasCalledFnOnce, boolean(n.lifecycle.has_called_fn_once));
    set(out, kLifecycle, std::move(lifecycle));
    if (n.meta) {
      kit::OwnedRef meta = new_dict();
      for (const auto& [key, v] : *n.meta) {
        kit::OwnedRef converted = json_.convert(v);
        kit::check_status(PyDict_SetItem(meta.get(), json_.key(key).get(), converted.get()));
      }
      set(out, kMeta, std::move(meta));
    }
    if (n.name) set(out, kName, text(*n.name));
    // Status names come from a small fixed set: one str each per walk.
    set(out, kStatus, json_.key(n.status).new_ref());
    set(out, kTerminal, terminal(n.terminal));
    set(out, kValue, value(n.value));
    if (n.version) set(out, kVersion, json_.convert(*n.version));
    return out;
  }

 private:
  kit::OwnedRef value(const GraphCheckpointValue& v) {
    kit::OwnedRef out = new_dict();
    if (v.is_data()) {
      set(out, kData, json_.convert(v.data));
      set(out, kKind, word(kKindData));
    } else {
      set(out, kKind, word(kKindSentinel));
    }
    return out;
  }

  kit::OwnedRef factory(const GraphCheckpointFactory& f) {
    kit::OwnedRef out = new_dict();
    if (f.kind == GraphCheckpointFactory::Kind::RegistryRef) {
      if (f.config) set(out, kConfig, json_.convert(*f.config));
      if (f.config_version) set(out, kConfigVersion, json_.convert(*f.config_version));
      set(out, kKind, word(kKindRegistryRef));
      set(out, kRef, json_.key(f.ref).new_ref());
    } else {
      set(out, kKind, word(kKindLocalOnly));
      set(out, kName, json_.key(f.name).new_ref());
      set(out, kReason, json_.key(f.reason).new_ref());
    }
    return out;
  }

  kit::OwnedRef terminal(const GraphCheckpointTerminal& t) {
    kit::OwnedRef out = new_dict();
    switch (t.kind) {
      case GraphCheckpointTerminal::Kind::None:
        set(out, kKind, word(kKindNone));
        break;
      case GraphCheckpointTerminal::Kind::Complete:
        set(out, kKind, word(kKindComplete));
        break;
      case GraphCheckpointTerminal::Kind::Error:
        set(out, kError, json_.convert(t.error));
        set(out, kKind, word(kKindError));
        break;
    }
    return out;
  }

  static kit::OwnedRef new_dict() { return kit::check(PyDict_New()); }
  static kit::OwnedRef new_list() { return kit::check(PyList_New(0)); }
  static kit::OwnedRef text(const std::string& s) { return kit::decode_utf8(s); }
  static kit::OwnedRef boolean(bool b) { return kit::OwnedRef::new_ref(b ? Py_True : Py_False); }
  static void append(const kit::OwnedRef& list, const kit::OwnedRef& item) {
    kit::check_status(PyList_Append(list.get(), item.get()));
  }

  kit::OwnedRef word(Word w) const { return words_[w].borrow().new_ref(); }
  void set(const kit::OwnedRef& dict, Word key, kit::OwnedRef value) {
    kit::check_status(PyDict_SetItem(dict.get(), words_[key].get(), value.get()));
  }

  JsonToPy json_;
  std::array<kit::OwnedRef, kWordCount> words_;
};

}  // namespace

kit::OwnedRef checkpoint_to_py(const GraphCheckpoint& checkpoint) { return RecordWriter().checkpoint(checkpoint); }

kit::OwnedRef checkpoint_node_to_py(const GraphCheckpointNode& node) { return RecordWriter().node(node); }

}  // namespace korvalinth::py
