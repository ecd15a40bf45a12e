#!/usr/bin/env python3
"""A small client of the Zabbix JSON-RPC API (6.0 and later) for quillet's tests
and demo.

Standard library only. Each command reads the API version (apiinfo.version),
logs in (user.login), does its work and prints plain lines that shell scripts
can compare. It uses only what every version from 6.0 on takes: the version
decides how the token travels (the "auth" member before 6.4, the Authorization
header from 6.4 on; 7.2 removed the member) and the import rules for groups.

  version                          API version (no login)
  import FILE                      configuration.import of a YAML template;
                                   prints the template's id
  host-create HOST TEMPLATE [--group NAME] [--macro '{$M}=VALUE' ...]
              [--proxy-group NAME]
                                   (re)creates HOST linked to TEMPLATE, with
                                   host macros, monitored by a proxy group
                                   (7.0 on); prints the host id
  host-delete HOST                 deletes HOST if it exists
  wait-items HOST COUNT [--timeout S]
                                   waits until HOST has COUNT discovered items;
                                   prints the seconds waited
  items HOST                       "key value_type state error" per discovered item
  latest HOST [--since CLOCK]      "key value" per discovered item: its newest
                                   stored value (at or after CLOCK), or "-"
  history HOST [--since CLOCK] [--until CLOCK]
                                   "clock.ns key value" per stored value, oldest first
  discovered-at HOST               the oldest moment the discovery rule last
                                   listed one of HOST's discovered items (the
                                   clock of that discovery value); "-" for none
  problems HOST                    names of HOST's triggers in the problem state
  events HOST [--since CLOCK]      "clock value name" per trigger event of HOST
                                   (value 1 problem, 0 resolved), oldest first
  item HOST KEY                    "state lastclock lastvalue error" of one item
  dashboard HOST                   per widget of the dashboards of HOST's
                                   templates: "dashboard: type 'name': what it
                                   shows on HOST" (the inherited item, the
                                   graphs discovered from the inherited graph
                                   prototype, the items an item pattern matches)
  proxy-group NAME [--failover-delay D] [--min-online N]
                                   creates or updates a proxy group (7.0 on);
                                   prints its id
  proxy-create NAME GROUP ADDRESS PORT
                                   creates or updates an active proxy in GROUP,
                                   ADDRESS:PORT its address for active agents
                                   (where redirects send senders); prints its id
  assigned HOST                    the proxy its group gave HOST, or "-"
  wait-proxy HOST... [--not PROXY] [--timeout S]
                                   waits until a proxy of its group (other than
                                   PROXY) has each HOST; prints "host proxy
                                   seconds" per host
  call METHOD JSON                 any method; prints the result as JSON

Numbers print in one form whatever the API returns: unsigned values as
integers, float values as Python's shortest repr of the double (15.0, 61.3).

Environment: ZBX_API_URL (default http://127.0.0.1:18080/api_jsonrpc.php),
ZBX_API_USER and ZBX_API_PASSWORD (default Admin / zabbix).
"""

import argparse
import json
import os
import re
import sys
import time
import urllib.error
import urllib.request

VALUE_FLOAT = 0
VALUE_UNSIGNED = 3
FLAG_DISCOVERED = 4
MONITORED_BY_PROXY_GROUP = 2
PROXY_ACTIVE = 0


class ApiError(Exception):
    pass


class Api:
    def __init__(self, url, user=None, password=None):
        self.url = url
        self.auth = None
        self.next_id = 1
        self.version_text = self.call("apiinfo.version", {})
        self.version = tuple(int(x) for x in self.version_text.split(".")[:2])
        if user is not None:
            self.auth = self.call("user.login", {"username": user, "password": password})

    def call(self, method, params):
        body = {"jsonrpc": "2.0", "method": method, "params": params, "id": self.next_id}
        self.next_id += 1
        headers = {"Content-Type": "application/json-rpc"}
        # apiinfo.version refuses a token.
        if self.auth is not None and method != "apiinfo.version":
            if self.version >= (6, 4):
                headers["Authorization"] = f"Bearer {self.auth}"
            else:
                body["auth"] = self.auth
        request = urllib.request.Request(self.url, json.dumps(body).encode(), headers)
        try:
            with urllib.request.urlopen(request, timeout=60) as response:
                reply = json.loads(response.read().decode())
        except (urllib.error.URLError, OSError) as e:
            raise ApiError(f"{method}: no answer from {self.url}: {e}") from e
        if "error" in reply:
            error = reply["error"]
            raise ApiError(f"{method}: {error.get('message')} {error.get('data')}")
        return reply["result"]


def host_id(api, host):
    hosts = api.call("host.get", {"output": ["hostid"], "filter": {"host": [host]}})
    if not hosts:
        raise ApiError(f'no host "{host}"')
    return hosts[0]["hostid"]


def discovered_items(api, host):
    return api.call(
        "item.get",
        {
            "output": ["itemid", "key_", "value_type", "state", "error"],
            "hostids": [host_id(api, host)],
            "filter": {"flags": FLAG_DISCOVERED},
            "sortfield": "key_",
        },
    )


def number_text(value_type, text):
    if int(value_type) == VALUE_FLOAT:
        return repr(float(text))
    if int(value_type) == VALUE_UNSIGNED:
        return str(int(text))
    return text


def stored_values(api, items, since, until=None):
    """(clock, ns, item, value text) of every stored value, oldest first."""
    rows = []
    for value_type in sorted({int(i["value_type"]) for i in items}):
        of_type = {i["itemid"]: i for i in items if int(i["value_type"]) == value_type}
        params = {
            "output": "extend",
            "history": value_type,
            "itemids": list(of_type),
            "sortfield": "clock",
            "sortorder": "ASC",
        }
        if since is not None:
            params["time_from"] = since
        if until is not None:
            params["time_till"] = until
        for row in api.call("history.get", params):
            item = of_type[row["itemid"]]
            rows.append((int(row["clock"]), int(row["ns"]), item, number_text(value_type, row["value"])))
    rows.sort(key=lambda r: (r[0], r[1], r[2]["key_"]))
    return rows


def cmd_import(api, args):
    with open(args.file, encoding="utf-8") as f:
        source = f.read()
    keep = {"createMissing": True, "updateExisting": True}
    full = {"createMissing": True, "updateExisting": True, "deleteMissing": True}
    # 6.2 split host groups into template groups and host groups; a file in the
    # 6.0 form is converted on import.
    if api.version >= (6, 2):
        groups = {"template_groups": {"createMissing": True}, "host_groups": {"createMissing": True}}
    else:
        groups = {"groups": {"createMissing": True}}
    rules = {
        **groups,
        "templates": keep,
        "templateLinkage": {"createMissing": True},
        "discoveryRules": full,
        "items": full,
        "triggers": full,
        "graphs": full,
        "valueMaps": full,
        "templateDashboards": full,
        "httptests": full,
    }
    if api.call("configuration.import", {"format": "yaml", "rules": rules, "source": source}) is not True:
        raise ApiError("configuration.import did not answer true")
    name = next(
        line.split(":", 1)[1].strip().strip("'\"")
        for line in source.splitlines()
        if line.strip().startswith("template:")
    )
    templates = api.call("template.get", {"output": ["templateid"], "filter": {"host": [name]}})
    if not templates:
        raise ApiError(f'the import did not create template "{name}"')
    print(templates[0]["templateid"])


def cmd_host_create(api, args):
    cmd_host_delete(api, args)
    groups = api.call("hostgroup.get", {"output": ["groupid"], "filter": {"name": [args.group]}})
    if groups:
        group_id = groups[0]["groupid"]
    else:
        group_id = api.call("hostgroup.create", {"name": args.group})["groupids"][0]
    templates = api.call("template.get", {"output": ["templateid"], "filter": {"host": [args.template]}})
    if not templates:
        raise ApiError(f'no template "{args.template}"')
    macros = []
    for text in args.macro:
        macro, sep, value = text.partition("=")
        if not sep:
            raise ApiError(f"--macro needs '{{$NAME}}=VALUE', got {text!r}")
        macros.append({"macro": macro, "value": value})
    host = {
        "host": args.host,
        "groups": [{"groupid": group_id}],
        "templates": [{"templateid": templates[0]["templateid"]}],
        "macros": macros,
    }
    if args.proxy_group:
        host.update(monitored_by=MONITORED_BY_PROXY_GROUP, proxy_groupid=proxy_group_id(api, args.proxy_group))
    # tls_accept is a bit mask: 1 unencrypted, 2 PSK, 4 certificate.
    if args.tls_psk:
        host.update(tls_accept=2, tls_psk_identity=args.tls_psk[0], tls_psk=args.tls_psk[1])
    elif args.tls_cert:
        host.update(tls_accept=4, tls_issuer=args.tls_cert[0], tls_subject=args.tls_cert[1])
    created = api.call("host.create", host)
    print(created["hostids"][0])


def cmd_host_delete(api, args):
    hosts = api.call("host.get", {"output": ["hostid"], "filter": {"host": [args.host]}})
    if hosts:
        api.call("host.delete", [h["hostid"] for h in hosts])


def cmd_wait_items(api, args):
    start = time.monotonic()
    while True:
        count = len(discovered_items(api, args.host))
        waited = time.monotonic() - start
        if count >= args.count:
            print(f"{waited:.1f}")
            return
        if waited > args.timeout:
            raise ApiError(f"{args.host} has {count} discovered items after {args.timeout} s, not {args.count}")
        time.sleep(0.2)


def cmd_items(api, args):
    for item in discovered_items(api, args.host):
        error = item["error"].replace("\n", " ") or "-"
        print(f'{item["key_"]} {item["value_type"]} {item["state"]} {error}')


def cmd_latest(api, args):
    items = discovered_items(api, args.host)
    newest = {}
    for _, _, item, value in stored_values(api, items, args.since):
        newest[item["key_"]] = value
    for item in items:
        print(f'{item["key_"]} {newest.get(item["key_"], "-")}')


def cmd_history(api, args):
    items = discovered_items(api, args.host)
    for clock, ns, item, value in stored_values(api, items, args.since, args.until):
        print(f'{clock}.{ns:09d} {item["key_"]} {value}')


def cmd_discovered_at(api, args):
    items = api.call(
        "item.get",
        {
            "output": ["itemid"],
            "hostids": [host_id(api, args.host)],
            "filter": {"flags": FLAG_DISCOVERED},
            "selectItemDiscovery": ["lastcheck"],
        },
    )
    print(min((int(i["itemDiscovery"]["lastcheck"]) for i in items), default="-"))


def cmd_problems(api, args):
    triggers = api.call(
        "trigger.get",
        {
            "output": ["description"],
            "hostids": [host_id(api, args.host)],
            "filter": {"value": 1},
            "expandDescription": True,
        },
    )
    for name in sorted(t["description"] for t in triggers):
        print(name)


def cmd_events(api, args):
    params = {
        "output": ["clock", "value", "name"],
        "hostids": [host_id(api, args.host)],
        "source": 0,
        "object": 0,
        "sortfield": ["clock", "eventid"],
        "sortorder": "ASC",
    }
    if args.since is not None:
        params["time_from"] = args.since
    for event in api.call("event.get", params):
        print(f'{event["clock"]} {event["value"]} {event["name"]}')


def cmd_item(api, args):
    items = api.call(
        "item.get",
        {
            "output": ["state", "lastclock", "lastvalue", "error"],
            "hostids": [host_id(api, args.host)],
            "filter": {"key_": [args.key]},
        },
    )
    if not items:
        raise ApiError(f'{args.host} has no item "{args.key}"')
    item = items[0]
    print(f'{item["state"]} {item["lastclock"]} {item["lastvalue"]} {item["error"].replace(chr(10), " ") or "-"}')


FIELD_ITEM = 4
FIELD_GRAPH = 6
FIELD_GRAPH_PROTOTYPE = 7


def cmd_dashboard(api, args):
    hostid = host_id(api, args.host)
    host = api.call("host.get", {"output": ["hostid"], "hostids": [hostid], "selectParentTemplates": ["templateid"]})[0]
    dashboards = api.call("templatedashboard.get", {
        "output": ["name"], "selectPages": "extend",
        "templateids": [t["templateid"] for t in host["parentTemplates"]],
    })

    def inherited(kind, templateid):
        """The id of HOST's KIND (item, graphprototype) inherited from templateid."""
        found = api.call(f"{kind}.get", {"output": ["templateid"], "hostids": [hostid], "filter": {"templateid": templateid}})
        return found[0][f"{'graph' if kind == 'graphprototype' else kind}id"] if found else None

    for dashboard in dashboards:
        widgets = [w for page in dashboard["pages"] for w in page["widgets"]]
        for widget in sorted(widgets, key=lambda w: (int(w["y"]), int(w["x"]))):
            shows = []
            for field in sorted(widget["fields"], key=lambda f: f["name"]):
                if int(field["type"]) == FIELD_ITEM:
                    itemid = inherited("item", field["value"])
                    items = api.call("item.get", {"output": ["key_"], "itemids": [itemid]}) if itemid else []
                    shows.append(f"item {items[0]['key_']}" if items else "no item")
                elif int(field["type"]) == FIELD_GRAPH:
                    graphid = inherited("graph", field["value"])
                    graphs = api.call("graph.get", {"output": ["name"], "graphids": [graphid]}) if graphid else []
                    shows.append(f"graph '{graphs[0]['name']}'" if graphs else "no graph")
                elif int(field["type"]) == FIELD_GRAPH_PROTOTYPE:
                    prototypeid = inherited("graphprototype", field["value"])
                    graphs = api.call("graph.get", {"output": ["graphid"], "hostids": [hostid],
                                                    "selectGraphDiscovery": ["parent_graphid"]})
                    count = sum(1 for g in graphs if (g.get("graphDiscovery") or {}).get("parent_graphid") == prototypeid)
                    shows.append(f"{count} graphs of its graph prototype")
                elif re.fullmatch(r"(ds\.\d+\.)?items\.\d+", field["name"]):
                    # Item patterns match item names, as the widgets match them.
                    items = api.call("item.get", {"output": ["itemid"], "hostids": [hostid],
                                                  "search": {"name": field["value"]}, "searchWildcardsEnabled": True})
                    shows.append(f"{len(items)} items named '{field['value']}'")
            print(f"{dashboard['name']}: {widget['type']} '{widget['name']}': {', '.join(shows) or '-'}")


def proxy_group_id(api, name):
    groups = api.call("proxygroup.get", {"output": ["proxy_groupid"], "filter": {"name": [name]}})
    if not groups:
        raise ApiError(f'no proxy group "{name}"')
    return groups[0]["proxy_groupid"]


def upsert(api, kind, id_field, name, settings):
    """Gives the KIND object NAME the settings, creating it when there is none;
    prints its id. One that exists is updated, not deleted and made anew: a
    proxy or a group that has hosts cannot be deleted."""
    old = api.call(f"{kind}.get", {"output": [id_field], "filter": {"name": [name]}})
    if old:
        api.call(f"{kind}.update", {id_field: old[0][id_field], **settings})
        print(old[0][id_field])
    else:
        print(api.call(f"{kind}.create", {"name": name, **settings})[id_field + "s"][0])


def cmd_proxy_group(api, args):
    upsert(api, "proxygroup", "proxy_groupid", args.name,
           {"failover_delay": args.failover_delay, "min_online": str(args.min_online)})


def cmd_proxy_create(api, args):
    upsert(api, "proxy", "proxyid", args.name, {
        "operating_mode": PROXY_ACTIVE,
        "proxy_groupid": proxy_group_id(api, args.group),
        "local_address": args.address,
        "local_port": str(args.port),
    })


def assigned_proxy(api, host):
    hosts = api.call("host.get", {"output": ["assigned_proxyid"], "filter": {"host": [host]}})
    if not hosts:
        raise ApiError(f'no host "{host}"')
    proxyid = hosts[0]["assigned_proxyid"]
    if proxyid == "0":
        return None
    proxies = api.call("proxy.get", {"output": ["name"], "proxyids": [proxyid]})
    return proxies[0]["name"] if proxies else None


def cmd_assigned(api, args):
    print(assigned_proxy(api, args.host) or "-")


def cmd_wait_proxy(api, args):
    start = time.monotonic()
    waiting = list(args.hosts)
    while waiting:
        waited = time.monotonic() - start
        for host in list(waiting):
            proxy = assigned_proxy(api, host)
            if proxy is not None and proxy != args.other_than:
                print(f"{host} {proxy} {waited:.1f}", flush=True)
                waiting.remove(host)
            elif waited > args.timeout:
                raise ApiError(f"{host} is with {proxy or 'no proxy'} after {args.timeout} s")
        if waiting:
            time.sleep(0.5)


def cmd_call(api, args):
    print(json.dumps(api.call(args.method, json.loads(args.params)), indent=1))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("version")
    p = sub.add_parser("import")
    p.add_argument("file")
    p = sub.add_parser("host-create")
    p.add_argument("host")
    p.add_argument("template")
    p.add_argument("--group", default="DNS servers")
    p.add_argument("--macro", action="append", default=[])
    p.add_argument("--proxy-group", help="monitored by this proxy group")
    tls = p.add_mutually_exclusive_group()
    tls.add_argument("--tls-psk", nargs=2, metavar=("IDENTITY", "HEXKEY"), help="accept PSK only")
    tls.add_argument("--tls-cert", nargs=2, metavar=("ISSUER", "SUBJECT"), help="accept certificates only")
    p = sub.add_parser("host-delete")
    p.add_argument("host")
    p = sub.add_parser("wait-items")
    p.add_argument("host")
    p.add_argument("count", type=int)
    p.add_argument("--timeout", type=float, default=30)
    for name in ("items", "latest", "history", "problems", "discovered-at", "assigned"):
        p = sub.add_parser(name)
        p.add_argument("host")
        if name in ("latest", "history"):
            p.add_argument("--since", type=int)
        if name == "history":
            p.add_argument("--until", type=int)
    p = sub.add_parser("events")
    p.add_argument("host")
    p.add_argument("--since", type=int)
    p = sub.add_parser("dashboard")
    p.add_argument("host")
    p = sub.add_parser("item")
    p.add_argument("host")
    p.add_argument("key")
    p = sub.add_parser("proxy-group")
    p.add_argument("name")
    p.add_argument("--failover-delay", default="1m")
    p.add_argument("--min-online", type=int, default=1)
    p = sub.add_parser("proxy-create")
    p.add_argument("name")
    p.add_argument("group")
    p.add_argument("address")
    p.add_argument("port", type=int)
    p = sub.add_parser("wait-proxy")
    p.add_argument("hosts", nargs="+")
    p.add_argument("--not", dest="other_than")
    p.add_argument("--timeout", type=float, default=60)
    p = sub.add_parser("call")
    p.add_argument("method")
    p.add_argument("params")
    args = parser.parse_args(argv)

    url = os.environ.get("ZBX_API_URL", "http://127.0.0.1:18080/api_jsonrpc.php")
    try:
        if args.command == "version":
            print(Api(url).version_text)
            return 0
        api = Api(url, os.environ.get("ZBX_API_USER", "Admin"), os.environ.get("ZBX_API_PASSWORD", "zabbix"))
        handler = {
            "import": cmd_import,
            "host-create": cmd_host_create,
            "host-delete": cmd_host_delete,
            "wait-items": cmd_wait_items,
            "items": cmd_items,
            "latest": cmd_latest,
            "history": cmd_history,
            "discovered-at": cmd_discovered_at,
            "assigned": cmd_assigned,
            "problems": cmd_problems,
            "events": cmd_events,
            "item": cmd_item,
            "dashboard": cmd_dashboard,
            "proxy-group": cmd_proxy_group,
            "proxy-create": cmd_proxy_create,
            "wait-proxy": cmd_wait_proxy,
            "call": cmd_call,
        }[args.command]
        handler(api, args)
    except ApiError as e:
        print(f"zbx_api: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
