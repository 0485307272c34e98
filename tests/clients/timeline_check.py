"""Checks a timeline (tesmo-sim --timeline) as the trace viewers read it:
the trace-event JSON against a schema of the events it uses, every
thread's slices nested (a slice that begins inside another ends inside it
too), every flow's end joined to its start and each bound to a slice of its
thread, and every asynchronous begin ended.

usage: timeline_check.py FILE...   (exit 1 when a file fails)"""
import collections
import json
import sys

import jsonschema

EPSILON = 0.002  # microseconds: the times are written to the nanosecond

SCHEMA = {
    "type": "object",
    "required": ["traceEvents"],
    "properties": {
        "displayTimeUnit": {"enum": ["ms", "ns"]},
        "traceEvents": {
            "type": "array",
            "items": {
                "type": "object",
                "required": ["ph", "name", "pid", "tid"],
                "properties": {
                    "ph": {"enum": ["X", "i", "s", "f", "b", "e", "M", "C"]},
                    "name": {"type": "string", "minLength": 1},
                    "cat": {"type": "string"},
                    "pid": {"type": "integer"},
                    "tid": {"type": "integer", "minimum": 0},
                    "ts": {"type": "number", "minimum": 0},
                    "dur": {"type": "number", "minimum": 0},
                    "id": {"type": "integer", "minimum": 1},
                    "s": {"enum": ["t", "p", "g"]},
                    "bp": {"enum": ["e"]},
                    "args": {"type": "object"},
                },
                "allOf": [
                    {"if": {"properties": {"ph": {"const": "X"}}}, "then": {"required": ["ts", "dur", "cat"]}},
                    {"if": {"properties": {"ph": {"const": "i"}}}, "then": {"required": ["ts", "s"]}},
                    {"if": {"properties": {"ph": {"enum": ["s", "f", "b", "e"]}}},
                     "then": {"required": ["ts", "id", "cat"]}},
                    {"if": {"properties": {"ph": {"const": "f"}}}, "then": {"required": ["bp"]}},
                    {"if": {"properties": {"ph": {"const": "C"}}},
                     "then": {"required": ["ts", "cat", "args"],
                              "properties": {"args": {"minProperties": 1,
                                                      "additionalProperties": {"type": "integer", "minimum": 0}}}}},
                    {"if": {"properties": {"ph": {"const": "M"}}},
                     "then": {"required": ["args"], "properties": {"name": {"enum": ["process_name", "thread_name"]}}}},
                ],
            },
        },
    },
}


def problems_of(path):
    with open(path) as file:
        trace = json.load(file)
    jsonschema.validate(trace, SCHEMA)
    events = trace["traceEvents"]
    problems = []
    slices = collections.defaultdict(list)
    for event in events:
        if event["ph"] == "X":
            slices[event["tid"]].append((event["ts"], event["ts"] + event["dur"], event["name"]))
    for tid, spans in slices.items():
        stack = []
        for begin, end, name in sorted(spans, key=lambda span: (span[0], -span[1])):
            while stack and begin >= stack[-1][1] - EPSILON:
                stack.pop()
            if stack and end > stack[-1][1] + EPSILON:
                problems.append(f"thread {tid}: {name!r} at {begin} overlaps {stack[-1][2]!r} without nesting")
            stack.append((begin, end, name))

    def inside_a_slice(event):
        return any(begin - EPSILON <= event["ts"] <= end + EPSILON for begin, end, _ in slices[event["tid"]])

    starts = {event["id"]: event for event in events if event["ph"] == "s"}
    for event in events:
        if event["ph"] in "sf" and not inside_a_slice(event):
            problems.append(f"flow {event['id']} ({event['ph']}) is bound to no slice of thread {event['tid']}")
        if event["ph"] == "f":
            start = starts.get(event["id"])
            if not start:
                problems.append(f"flow {event['id']} ends without a start")
            elif start["ts"] > event["ts"] + EPSILON:
                problems.append(f"flow {event['id']} ends before it starts")
    begun = {}
    for event in events:
        key = (event.get("cat"), event.get("id"), event["name"])
        if event["ph"] == "b":
            begun[key] = event
        elif event["ph"] == "e":
            if key not in begun:
                problems.append(f"async {key} ends without a begin")
            del begun[key]
    problems += [f"async {key} never ends" for key in begun]
    return events, problems


def main(paths):
    failed = 0
    for path in paths:
        events, problems = problems_of(path)
        kinds = collections.Counter(event["ph"] for event in events)
        print(f"{path}: {len(events)} events ({dict(sorted(kinds.items()))})")
        for problem in problems[:20]:
            print(f"  {problem}")
        failed += bool(problems)
    print(f"{len(paths) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
