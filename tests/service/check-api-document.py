#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The API as the OpenAPI document describes it: every case below is sent to a running
zuno-lookupd over a real socket, and its answer (status, media type, headers the document makes
required, body) is validated against the operation's response in the document with the Debian
python3-jsonschema; each error is also checked for the code, status and media type the table
expects. Every documented operation, problem code and message code must come up, so that a code
or a route the service no longer gives cannot linger in the document.
Usage: check-api-document.py ZUNO-LOOKUPD OPENAPI-DOCUMENT"""
import http.client, json, os, re, subprocess, sys, tempfile, time

from jsonschema import Draft202012Validator, RefResolver

program, document_path = sys.argv[1], sys.argv[2]
document = json.load(open(document_path, encoding="utf-8"))
resolver = RefResolver("", document)
failures = []
PROBLEM = "application/problem+json"
# Answers any path may give (the document says so in its description).
ANY_PATH_STATUSES = {400, 404, 408, 414, 431, 500, 503}
# Codes no case here can bring about: a request too slow, a fault of the service, a JSON string
# that is not UTF-8 (the parser refuses the body first), the service out of descriptors.
UNREACHABLE = {"request_timeout", "internal_error", "number_not_utf8", "service_unavailable",
               "one_file_only", "form_incomplete", "body_incomplete"}


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)
    return ok


def resolved(node):
    while "$ref" in node:
        node = resolver.resolve(node["$ref"])[1]
    return node


def valid(instance, schema, what):
    errors = sorted(Draft202012Validator(schema, resolver=resolver).iter_errors(instance), key=str)
    return check(not errors, f"{what}: {'; '.join(e.message for e in errors[:3])}")


def start(*arguments):
    log = tempfile.TemporaryFile("w+")
    process = subprocess.Popen([program, "--listen", "127.0.0.1:0", *arguments], stderr=log,
                               text=True)
    for _ in range(200):
        log.seek(0)
        found = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", log.read())
        if found:
            return process, int(found.group(1))
        subprocess.run(["sleep", "0.05"])
    process.kill()
    sys.exit("FAIL: zuno-lookupd did not start")


def send(port, method, target, headers=(), body=None, source="127.0.0.1", host=True):
    """A body that is a list is sent chunked, a piece at a time with a pause between them."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10,
                                            source_address=(source, 0))
    connection.putrequest(method, target, skip_host=not host, skip_accept_encoding=True)
    for name, value in headers:
        connection.putheader(name, value)
    if isinstance(body, list):
        connection.putheader("Transfer-Encoding", "chunked")
        connection.endheaders()
        for piece in body + [b""]:
            time.sleep(0.3)
            connection.send(b"%x\r\n%s\r\n" % (len(piece), piece))
    else:
        if body is not None:
            connection.putheader("Content-Length", str(len(body)))
        connection.endheaders(body)
    reply = connection.getresponse()
    content = reply.read()
    connection.close()
    return reply.status, dict((k.lower(), v) for k, v in reply.getheaders()), content


def operation_of(method, target):
    path = target.split("?")[0]
    item = document["paths"].get(path)
    return item and item.get(method.lower()), path


seen_operations, seen_problems, seen_messages = set(), set(), set()


def validate(name, method, target, status, headers, content):
    """Checks one answer against the document; returns its parsed JSON body, if any."""
    operation, path = operation_of("GET" if method == "HEAD" else method, target)
    media = headers.get("content-type", "").split(";")[0].strip()
    where = f"{name}: {method} {target} {status} {media or '(no body)'}"
    if operation:
        seen_operations.add((method if method != "HEAD" else "GET", path))
        response = operation["responses"].get(str(status))
    else:
        response = None
    if response is None:
        if not check(status in ANY_PATH_STATUSES or (status == 405 and operation is None and
                                                     path in document["paths"]),
                     f"{where}: status not in the document"):
            return None
        response = {"content": {PROBLEM: {"schema": {"$ref": "#/components/schemas/Problem"}}}}
    response = resolved(response)
    for header, declared in response.get("headers", {}).items():
        if resolved(declared).get("required"):
            check(header.lower() in headers, f"{where}: no {header} header")
    content_types = response.get("content", {})
    if not content_types:
        check(not content, f"{where}: a body where the document has none")
        return None
    if not check(media in content_types, f"{where}: media type not one of {list(content_types)}"):
        return None
    if method == "HEAD":
        return None
    schema = content_types[media].get("schema", {})
    text = content.decode("utf-8")
    if media == "application/x-ndjson":
        rows = [json.loads(line) for line in text.splitlines()]
        for number, row in enumerate(rows):
            valid(row, schema, f"{where} row {number + 1}")
        return rows
    if media == "text/csv":
        header = text.lstrip("\ufeff").split("\r\n")[0].split(",")
        # The fields every answer has; form, extension and places come in JSON alone.
        columns = resolved({"$ref": "#/components/schemas/Lookup"})["required"]
        check(header == columns, f"{where}: CSV columns {header} are not the Lookup fields")
        return text
    if media.endswith("json"):
        body = json.loads(text)
        valid(body, schema, where)
        return body
    return content


# name, instance, method, target, headers, body, status, the problem's code or the last row's
# messageCode (None: neither), and the source address.
JSON = [("Content-Type", "application/json")]
LONG = "x" * 5000
CASES = [
    # --- lookups
    ("lookup_found", "labels", "GET", "/api/v1/lookup?number=13800138000", [], None, 200, None),
    ("lookup_head", "labels", "HEAD", "/api/v1/lookup?number=13800138000", [], None, 200, None),
    ("lookup_empty", "labels", "GET", "/api/v1/lookup?number=", [], None, 200, "number_empty"),
    ("lookup_letters", "labels", "GET", "/api/v1/lookup?number=abc", [], None, 200,
     "letters_in_number"),
    ("lookup_other_characters", "labels", "GET", "/api/v1/lookup?number=138%E5%8F%B7", [], None,
     200, "other_characters"),
    ("lookup_too_short", "labels", "GET", "/api/v1/lookup?number=123", [], None, 200,
     "number_too_short"),
    ("lookup_too_long", "labels", "GET", "/api/v1/lookup?number=13800138000123456789", [], None,
     200, "number_too_long"),
    ("lookup_invalid", "labels", "GET", "/api/v1/lookup?number=10012345678", [], None, 200,
     "number_invalid"),
    ("lookup_outside_mainland", "labels", "GET", "/api/v1/lookup?number=%2B85221234567", [], None,
     200, "outside_mainland"),
    ("lookup_area_code", "labels", "GET", "/api/v1/lookup?number=0851", [], None, 200, None),
    ("lookup_extension", "labels", "GET", "/api/v1/lookup?number=010-12345678%E8%BD%AC123", [],
     None, 200, None),
    ("lookup_without_number", "labels", "GET", "/api/v1/lookup", [], None, 400, "number_missing"),
    ("lookup_put", "labels", "PUT", "/api/v1/lookup", [], b"", 405, "method_not_allowed"),
    ("about", "labels", "GET", "/api/v1/about", [], None, 200, None),
    ("document", "labels", "GET", "/api/v1/openapi.json", [], None, 200, None),
    ("unknown_path", "labels", "GET", "/api/v1/nothing", [], None, 404, "not_found"),
    ("no_host", "labels", "GET", "/api/v1/about", [], None, 400, "bad_request"),
    ("uri_too_long", "labels", "GET", "/api/v1/lookup?number=" + "1" * 70000, [], None, 414,
     "uri_too_long"),
    ("header_too_large", "labels", "GET", "/api/v1/about", [("X-Filler", "y" * 70000)], None, 431,
     "header_too_large"),
    # --- batch, in its three forms, and its refusals (the instance takes at most 3 numbers)
    ("batch_lines_csv", "labels", "POST", "/api/v1/lookup/batch?bom=1",
     [("Content-Type", "text/plain")], b"13800138000\nabc\n", 200, "letters_in_number"),
    ("batch_csv_jsonl", "labels", "POST", "/api/v1/lookup/batch?format=jsonl",
     [("Content-Type", "text/csv")], "电话号码,姓名\r\n13800138000,张\r\n".encode(), 200, None),
    ("batch_json_jsonl", "labels", "POST", "/api/v1/lookup/batch?format=jsonl", JSON,
     b'["13800138000", "95588"]', 200, None),
    ("batch_json_not_strings", "labels", "POST", "/api/v1/lookup/batch?format=jsonl", JSON,
     b'["13800138000", {"number": 1}]', 200, "json_not_string_array"),
    ("batch_record_too_long", "labels", "POST", "/api/v1/lookup/batch?format=jsonl", [],
     ("1" * 5000 + "\n").encode(), 200, "record_too_long"),
    ("batch_too_many", "labels", "POST", "/api/v1/lookup/batch", [], b"1\n2\n3\n4\n", 413,
     "too_many_numbers"),
    ("batch_too_many_while_sent", "labels", "POST", "/api/v1/lookup/batch?format=jsonl", [],
     [b"1\n2\n3\n", b"4\n"], 200, "too_many_numbers"),
    ("batch_bad_format", "labels", "POST", "/api/v1/lookup/batch?format=xml", [], b"1\n", 400,
     "batch_options_invalid"),
    ("batch_get", "labels", "GET", "/api/v1/lookup/batch", [], None, 405, "method_not_allowed"),
    # --- reports
    ("report_created", "labels", "POST", "/api/v1/reports", JSON,
     '{"number":"13800138000","category":"骚扰电话","comment":"推销"}'.encode(), 201, None),
    ("report_replaced", "labels", "POST", "/api/v1/reports", JSON,
     '{"number":"13800138000","category":"广告推销"}'.encode(), 200, None),
    ("report_withdrawn", "labels", "DELETE", "/api/v1/reports?number=13800138000", [], None, 204,
     None),
    ("report_nothing_to_withdraw", "labels", "DELETE", "/api/v1/reports?number=13800138000", [],
     None, 404, "nothing_to_withdraw"),
    ("report_delete_without_number", "labels", "DELETE", "/api/v1/reports", [], None, 400,
     "number_missing"),
    ("report_not_json_body", "labels", "POST", "/api/v1/reports", JSON, b"[1]", 400,
     "json_body_invalid"),
    ("report_form_encoded", "labels", "POST", "/api/v1/reports",
     [("Content-Type", "application/x-www-form-urlencoded")], b"number=1", 415, "json_required"),
    ("report_other_site", "labels", "POST", "/api/v1/reports",
     JSON + [("Origin", "https://elsewhere.example")], b"{}", 403, "origin_not_allowed"),
    ("report_preflight", "labels", "OPTIONS", "/api/v1/reports", [], None, 204, None),
    ("report_preflight_other_site", "labels", "OPTIONS", "/api/v1/reports",
     [("Origin", "https://elsewhere.example")], None, 403, "origin_not_allowed"),
    ("report_unknown_category", "labels", "POST", "/api/v1/reports", JSON,
     '{"number":"13800138000","category":"推销"}'.encode(), 400, "unknown_category"),
    ("report_comment_control", "labels", "POST", "/api/v1/reports", JSON,
     b'{"number":"13800138000","category":"\\u9a9a\\u6270\\u7535\\u8bdd","comment":"a\\u0007"}',
     400, "comment_invalid"),
    ("report_comment_long", "labels", "POST", "/api/v1/reports", JSON,
     ('{"number":"13800138000","category":"骚扰电话","comment":"' + "长" * 141 + '"}').encode(),
     400, "comment_too_long"),
    ("report_letters", "labels", "POST", "/api/v1/reports", JSON,
     '{"number":"abc","category":"骚扰电话"}'.encode(), 400, "letters_in_number"),
    ("report_too_short", "labels", "POST", "/api/v1/reports", JSON,
     '{"number":"123","category":"骚扰电话"}'.encode(), 400, "number_too_short"),
    ("report_blank", "labels", "POST", "/api/v1/reports", JSON,
     '{"number":" - ","category":"骚扰电话"}'.encode(), 400, "number_empty"),
    ("report_short_number", "labels", "POST", "/api/v1/reports", JSON,
     '{"number":"95588","category":"客服热线"}'.encode(), 400, "short_number"),
    ("report_outside_mainland", "labels", "POST", "/api/v1/reports", JSON,
     '{"number":"+85221234567","category":"骚扰电话"}'.encode(), 400, "outside_mainland"),
    ("report_too_large", "labels", "POST", "/api/v1/reports", JSON,
     ('{"number":"13800138000","comment":"' + LONG + '"}').encode(), 413, "body_too_large"),
    ("report_store_unavailable", "plain", "POST", "/api/v1/reports", JSON,
     '{"number":"13800138000","category":"骚扰电话"}'.encode(), 503, "store_unavailable"),
    # --- places
    ("place_created", "labels", "POST", "/api/v1/places", JSON,
     '{"number":"19912345678","province":"广东省","city":"深圳市"}'.encode(), 201, None),
    ("place_withdrawn", "labels", "DELETE", "/api/v1/places?number=19912345678", [], None, 204,
     None),
    ("place_nothing_to_withdraw", "labels", "DELETE", "/api/v1/places?number=19912345678", [],
     None, 404, "nothing_to_withdraw"),
    ("place_has_location", "labels", "POST", "/api/v1/places", JSON,
     '{"number":"13800138000","province":"北京市"}'.encode(), 400, "block_has_location"),
    ("place_fixed_line", "labels", "POST", "/api/v1/places", JSON,
     '{"number":"010-12345678","province":"北京市"}'.encode(), 400, "not_mobile_block"),
    ("place_bad_city", "labels", "POST", "/api/v1/places", JSON,
     '{"number":"19912345678","province":"广东省","city":"Shenzhen"}'.encode(), 400,
     "city_invalid"),
    ("place_bad_province", "labels", "POST", "/api/v1/places", JSON,
     '{"number":"19912345678","province":"广东"}'.encode(), 400, "province_invalid"),
    ("place_invalid", "labels", "POST", "/api/v1/places", JSON,
     '{"number":"10012345678","province":"广东省"}'.encode(), 400, "number_invalid"),
    ("place_too_long", "labels", "POST", "/api/v1/places", JSON,
     '{"number":"13800138000123456789","province":"广东省"}'.encode(), 400, "number_too_long"),
    ("place_other_characters", "labels", "POST", "/api/v1/places", JSON,
     '{"number":"199号","province":"广东省"}'.encode(), 400, "other_characters"),
    ("place_preflight", "labels", "OPTIONS", "/api/v1/places", [], None, 204, None),
    ("place_other_site", "labels", "DELETE", "/api/v1/places?number=19912345678",
     [("Origin", "https://elsewhere.example")], None, 403, "origin_not_allowed"),
    ("place_store_unavailable", "plain", "DELETE", "/api/v1/places?number=19912345678", [], None,
     503, "store_unavailable"),
    ("places_put", "labels", "PUT", "/api/v1/places", [], b"", 405, "method_not_allowed"),
]

work = tempfile.mkdtemp()
labelled, labelled_port = start("--database", os.path.join(work, "labels.sqlite3"),
                                "--batch-max-rows", "3")
plain, plain_port = start()
ports = {"labels": labelled_port, "plain": plain_port}
try:
    document_bytes = open(document_path, "rb").read()
    for name, instance, method, target, headers, body, status, code in CASES:
        got_status, got_headers, content = send(ports[instance], method, target, headers, body,
                                                host=name != "no_host")
        media = got_headers.get("content-type", "").split(";")[0].strip()
        answer = validate(name, method, target, got_status, got_headers, content)
        check(got_status == status, f"{name}: status {got_status}, not {status}: {content[:200]!r}")
        if name == "document":
            check(content == document_bytes, f"{name}: not the document in the repository")
        if status >= 400:
            if check(media == PROBLEM, f"{name}: {media}, not {PROBLEM}") and isinstance(answer, dict):
                seen_problems.add(answer["code"])
                check(answer["code"] == code, f"{name}: code {answer['code']}, not {code}")
                check(answer["status"] == got_status, f"{name}: status {answer['status']} in the body")
                check(answer["type"] == "urn:zuno:problem:" + code, f"{name}: type {answer['type']}")
                check(answer["error"] == answer["detail"], f"{name}: error is not the detail")
        elif code is not None or isinstance(answer, (dict, list)):
            row = answer[-1] if isinstance(answer, list) else answer
            if isinstance(answer, str):
                last = answer.rstrip("\r\n").split("\r\n")[-1]
                row = {"messageCode": last.rsplit(",", 1)[-1] or None}
            if isinstance(row, dict) and "messageCode" in row:
                if row["messageCode"] is not None:
                    seen_messages.add(row["messageCode"])
                check(row["messageCode"] == code,
                      f"{name}: messageCode {row['messageCode']}, not {code}")

    # A network that reports more than a day's worth is refused, and told when to come back.
    for number in range(21):
        got_status, got_headers, content = send(
            labelled_port, "POST", "/api/v1/reports", JSON,
            json.dumps({"number": f"1380013{number:04}", "category": "骚扰电话"}).encode(),
            source="127.0.9.1")
    answer = validate("report_daily_limit", "POST", "/api/v1/reports", got_status, got_headers,
                      content)
    if check(got_status == 429, f"report_daily_limit: status {got_status}, not 429") and \
            isinstance(answer, dict):
        seen_problems.add(answer["code"])
        check(answer["code"] == "daily_limit", f"report_daily_limit: code {answer['code']}")

    for path, item in document["paths"].items():
        for method in item:
            check((method.upper(), path) in seen_operations, f"{method.upper()} {path}: not tried")
    for schema, seen in (("ProblemCode", seen_problems), ("MessageCode", seen_messages)):
        listed = set(document["components"]["schemas"][schema]["enum"])
        check(listed - seen - UNREACHABLE == set(),
              f"{schema}: never seen {sorted(listed - seen - UNREACHABLE)}")
        check(seen - listed == set(), f"{schema}: not in the document {sorted(seen - listed)}")
finally:
    for process in (labelled, plain):
        process.terminate()
        process.wait()

print(f"{len(CASES) + 1} cases, {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
