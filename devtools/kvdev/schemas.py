"""JSON Schemas of the agent's messages (protocol/schemas): loading and checking.

    from kvdev import schemas
    errors = schemas.validate_agent_message(msg)   # [] when msg is valid

Every schema under protocol/schemas is loaded and kept in a store keyed by its
"$id" (e.g. "agent/status.json", "common.json"), so that "$ref"s between the
files resolve with python3-jsonschema 4.10 (RefResolver).

The schema of a message is chosen by its "type" and, where one type has two
shapes, by its members: "logs" with a "logs" member is the log message, without
it the failure reply; "chip_metrics" with "chips" is the chip report, without it
the failure reply; the other command names are replies (agent/reply.json). Any
other type is an error.

Integers are checked strictly: a JSON number written with a fraction or an
exponent (5.0) is not an integer here, so that a figure the agent sends as an
integer and later as a real is noticed (a plain JSON Schema validator would
accept 5.0 as an integer).

Used by the end-to-end tests (every message an agent sent in a test) and by
the development server (kvdev.devserver), which logs a violation of anything
the agent sends. Needs python3-jsonschema.
"""

import json
from pathlib import Path

import jsonschema

from kvdev import REPO

SCHEMA_DIR = REPO / "protocol" / "schemas"
BASE_URI = "https://kvagent.invalid/protocol/schemas/"


_store = None
_validators = {}


def _strict_integer(checker, instance):
    return isinstance(instance, int) and not isinstance(instance, bool)


_Validator = jsonschema.validators.extend(
    jsonschema.Draft202012Validator,
    type_checker=jsonschema.Draft202012Validator.TYPE_CHECKER.redefine(
        "integer", _strict_integer))


def load_store(schema_dir=None):
    """{$id: schema} of every *.json under the schema folder (read once)."""
    global _store
    if _store is not None and schema_dir is None:
        return _store
    store = {}
    root = Path(schema_dir) if schema_dir else SCHEMA_DIR
    for path in sorted(root.rglob("*.json")):
        schema = json.loads(path.read_text(encoding="utf-8"))
        sid = schema.get("$id")
        if not sid:
            raise ValueError("%s: no $id" % path)
        if sid in store:
            raise ValueError("%s: $id %r used twice" % (path, sid))
        jsonschema.Draft202012Validator.check_schema(schema)
        store[sid] = schema
    if not any(k.startswith("agent/") for k in store):
        raise FileNotFoundError("no agent message schemas under %s" % root)
    if schema_dir is None:
        _store = store
    return store


def request_schemas():
    """{command: schema} of the server's requests (server/<command>.json)."""
    return {sid[len("server/"):-len(".json")]: s for sid, s in load_store().items()
            if sid.startswith("server/") and sid != "server/common.json"}


def reply_types():
    """The commands the agent answers with {"type": <command>, "ok"} (on
    failure at least): those whose request schema's "x-reply" is not "none"."""
    return frozenset(c for c, s in request_schemas().items() if s.get("x-reply") != "none")


def validator(schema_id):
    """A validator for the schema with this $id (e.g. "agent/status.json")."""
    v = _validators.get(schema_id)
    if v is None:
        store = load_store()
        schema = store[schema_id]
        # The relative $ids resolve against one absolute base (a name only,
        # never fetched: every schema is in the store).
        resolver = jsonschema.RefResolver(BASE_URI, schema,
                                          store={BASE_URI + k: v for k, v in store.items()})
        v = _Validator(schema, resolver=resolver)
        _validators[schema_id] = v
    return v


def schema_for(msg):
    """The $id of the schema for an agent message, or None for an unknown type."""
    mtype = msg.get("type")
    if mtype == "logs":
        return "agent/logs.json" if "logs" in msg else "agent/reply.json"
    if mtype == "chip_metrics":
        return "agent/chip_metrics.json" if "chips" in msg else "agent/reply.json"
    if mtype in reply_types():
        return "agent/reply.json"
    if isinstance(mtype, str) and "agent/%s.json" % mtype in load_store():
        return "agent/%s.json" % mtype
    return None


def _path(error):
    return "/".join(str(p) for p in error.absolute_path) or "(message)"


def validate_agent_message(msg):
    """Errors of one parsed message the agent sent, as text lines ([] if valid)."""
    if msg is None:
        return ["not a JSON text message"]
    if not isinstance(msg, dict):
        return ["not a JSON object: %s" % json.dumps(msg)[:80]]
    mtype = msg.get("type")
    if not isinstance(mtype, str):
        return ["no string 'type' member"]
    sid = schema_for(msg)
    if sid is None:
        return ["%s: unknown message type" % mtype]
    errors = sorted(validator(sid).iter_errors(msg), key=lambda e: list(e.absolute_path))
    return ["%s: %s: %s" % (mtype, _path(e), _describe(e)) for e in errors]


def _short(text, limit=160):
    return text if len(text) <= limit else text[:limit] + "..."


def _message(error):
    # "<the whole value> is too short": a long value is named by its kind only.
    text, value = error.message, repr(error.instance)
    if len(value) > 40 and text.startswith(value):
        kind = {dict: "object", list: "array", str: "string"}.get(type(error.instance), "value")
        text = "the %s%s" % (kind, text[len(value):])
    return _short(text)


def _describe(error):
    if not error.context:
        return _message(error)
    # oneOf/anyOf: the nearest reason of each alternative.
    forms = {}
    for sub in error.context:
        forms.setdefault(sub.relative_schema_path[0], []).append(sub)
    reasons = []
    for index, subs in sorted(forms.items()):
        best = jsonschema.exceptions.best_match(subs)
        reasons.append("form %s: %s: %s" % (index, _path(best), _describe(best)))
    if error.validator == "oneOf" and not reasons:
        return "matches more than one of the allowed forms"
    return "matches none of the allowed forms (%s)" % "; ".join(reasons)


def check_examples():
    """Errors of the "examples" of every agent schema against the schema."""
    out = []
    for sid, schema in sorted(load_store().items()):
        if not sid.startswith("agent/"):
            continue
        for i, ex in enumerate(schema.get("examples", [])):
            out += ["%s example %d: %s" % (sid, i, e) for e in validate_agent_message(ex)]
            if schema_for(ex) != sid:
                out.append("%s example %d is chosen for %s" % (sid, i, schema_for(ex)))
    return out
