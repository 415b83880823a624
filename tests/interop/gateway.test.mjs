// The gateway between real MCP parts: the official TypeScript SDK's client talks to
// brask-ai-mcp, which runs the reference servers and the sample apps as its apps. What the
// gateway relays is compared with what the same server answers the SDK directly.
import { after, before, describe, test } from "node:test";
import assert from "node:assert/strict";
import { mkdtempSync, mkdirSync, renameSync, rmSync, writeFileSync, realpathSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { bin, entry } from "./helpers.mjs";

const everythingEntry = entry("@modelcontextprotocol/server-everything");
const filesystemEntry = entry("@modelcontextprotocol/server-filesystem");

const AGENTS_OFF =
  "AI agents are turned off for the Brask apps. Turn on Velmora Launcher \u203a Settings \u203a AI agents \u203a Let AI agents use Brask apps, then try again.";

const folder = realpathSync(mkdtempSync(join(tmpdir(), "brask-interop-")));
const files = join(folder, "files");
const appsFile = join(folder, "apps.json");
let gateway, everything, filesystem;

async function connect(command, args, env = process.env) {
  const client = new Client({ name: "brask-interop-test", version: "1.0.0" });
  // The transport passes only a few variables on by default; the gateway needs ours.
  await client.connect(new StdioClientTransport({ command, args, env: { ...env }, stderr: "pipe" }));
  return client;
}

// A gateway tool's JSON answer, or its error text as { error }.
async function gatewayTool(name, args) {
  const result = await gateway.callTool({ name, arguments: args });
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, "text");
  if (result.isError) return { error: result.content[0].text };
  return JSON.parse(result.content[0].text);
}

// What the SDK's client makes of a raw result, so both sides go through the same parsing.
const relay = (app, tool, args, timeoutSeconds) =>
  gateway.callTool({ name: "brask_call_tool", arguments: { app, tool, arguments: args, timeoutSeconds } });

before(async () => {
  mkdirSync(files);
  writeFileSync(join(files, "hello.txt"), "Hello from the interop test\nsecond line\n");
  const sample = join(bin, "brask-sample-app");
  writeFileSync(appsFile, JSON.stringify({
    version: 1,
    apps: [
      { id: "everything", name: "Everything", command: process.execPath, args: [everythingEntry, "stdio"] },
      { id: "filesystem", name: "Filesystem", command: process.execPath, args: [filesystemEntry, files] },
      { id: "lumeno", command: sample, args: ["lumeno"] },
      { id: "scribola", command: sample, args: ["scribola"] },
      { id: "tabulo", command: sample, args: ["tabulo"] },
    ],
  }));
  gateway = await connect(join(bin, "brask-ai-mcp"), ["--stdio"], { ...process.env, BRASK_MCP_DIR: folder });
  everything = await connect(process.execPath, [everythingEntry, "stdio"]);
  filesystem = await connect(process.execPath, [filesystemEntry, files]);
});

after(async () => {
  await Promise.allSettled([gateway?.close(), everything?.close(), filesystem?.close()]);
  rmSync(folder, { recursive: true, force: true });
});

describe("the SDK client and the gateway", () => {
  test("handshake and the four gateway tools", async () => {
    assert.equal(gateway.getServerVersion().name, "brask-ai-mcp");
    assert.deepEqual(gateway.getServerCapabilities().tools, { listChanged: false });
    const { tools } = await gateway.listTools();
    assert.deepEqual(tools.map((t) => t.name),
      ["brask_list_apps", "brask_find_tools", "brask_describe_tool", "brask_call_tool"]);
    await gateway.ping();
  });

  test("lists the apps of the apps file without starting them", async () => {
    const listing = await gatewayTool("brask_list_apps", {});
    assert.deepEqual(listing.apps.map((a) => [a.app, a.name, a.started]), [
      ["everything", "Everything", false],
      ["filesystem", "Filesystem", false],
      ["lumeno", "Lumeno", false],
      ["scribola", "Scribola", false],
      ["tabulo", "Tabulo", false],
    ]);
  });

  test("unknown tools are protocol errors, bad arguments are tool errors", async () => {
    await assert.rejects(gateway.callTool({ name: "echo", arguments: {} }), /unknown tool `echo`/);
    assert.deepEqual(await gatewayTool("brask_call_tool", { app: "  " }),
      { error: "`app` is required and must be a string" });
    assert.deepEqual(await gatewayTool("brask_describe_tool", { app: "nope", tool: "x" }),
      { error: "no app `nope`; available: everything, filesystem, lumeno, scribola, tabulo" });
  });
});

describe("relaying the reference servers", () => {
  for (const [app, direct] of [["everything", () => everything], ["filesystem", () => filesystem]]) {
    test(`${app}: an empty search lists every tool, in the server's order`, async () => {
      const { tools } = await direct().listTools();
      const found = await gatewayTool("brask_find_tools", { app, query: "", limit: 50 });
      assert.deepEqual(found.tools.map((t) => t.tool), tools.map((t) => t.name));
      assert.ok(found.tools.every((t) => t.app === app));
    });

    test(`${app}: every described tool equals the server's own definition`, async () => {
      const { tools } = await direct().listTools();
      for (const tool of tools) {
        const described = await gatewayTool("brask_describe_tool", { app, tool: tool.name });
        assert.deepEqual(described, tool, tool.name);
      }
    });
  }

  const calls = [
    ["everything", "echo", { message: "Grüße, \"quoted\" and \u{1F30D}" }],
    ["everything", "get-sum", { a: 2, b: 3.25 }],
    ["everything", "get-structured-content", { location: "New York" }],
    ["everything", "get-sum", { a: "not a number" }],
    ["filesystem", "read_text_file", { path: "hello.txt", head: 1 }],
    ["filesystem", "list_directory", { path: "." }],
    ["filesystem", "read_text_file", { path: "/etc/hostname" }],
  ];
  for (const [app, tool, args] of calls) {
    test(`${app}: ${tool} ${JSON.stringify(args)} gives the same result through the gateway`, async () => {
      const direct = app === "everything" ? everything : filesystem;
      // Relative paths are the filesystem server's business; it resolves them in its own folder.
      const fixed = args.path && !args.path.startsWith("/") ? { ...args, path: join(files, args.path) } : args;
      let expected;
      try {
        expected = await direct.callTool({ name: tool, arguments: fixed });
      } catch (error) {
        expected = { thrown: error.message };
      }
      const relayed = await relay(app, tool, fixed);
      if (expected.thrown) {
        // The server refused with a protocol error; the gateway hands that message on as a
        // tool error the agent can read.
        assert.equal(relayed.isError, true);
        assert.ok(expected.thrown.includes(relayed.content[0].text), `${expected.thrown} / ${relayed.content[0].text}`);
      } else {
        assert.deepEqual(relayed, expected);
      }
    });
  }

  test("a search across all apps ranks and reports every app", async () => {
    const found = await gatewayTool("brask_find_tools", { query: "file" });
    assert.ok(found.tools.length > 0);
    assert.ok(found.tools.some((t) => t.app === "filesystem"));
    assert.equal(found.unavailable, undefined);
  });
});

describe("the sample apps through the SDK", () => {
  test("a spreadsheet cell written and read back", async () => {
    const schema = await gatewayTool("brask_describe_tool", { app: "Tabulo", tool: "set_cell" });
    assert.deepEqual(schema.inputSchema.required, ["cell", "value"]);
    await relay("tabulo", "set_range", { start: "A1", rows: [[1, 2], [3, "=SUM(A1:B1)*A2"]] });
    const cell = await relay("tabulo", "get_cell", { cell: "B2" });
    assert.deepEqual(JSON.parse(cell.content[0].text), { cell: "B2", display: "9", input: "=SUM(A1:B1)*A2", value: 9 });
  });

  test("tools listed over several pages are all found", async () => {
    const found = await gatewayTool("brask_find_tools", { app: "tabulo", query: "", limit: 50 });
    assert.equal(found.tools.length, 24);
  });

  test("no matching tool points to the app's command tools", async () => {
    const found = await gatewayTool("brask_find_tools", { app: "scribola", query: "zoom" });
    assert.deepEqual(found.tools, []);
    assert.match(found.hint, /: scribola\/list_commands, scribola\/run_command$/);
  });

  test("a call past its time-out is answered by the gateway, and the app restarts", async () => {
    await relay("lumeno", "add_layer", { name: "Kept?" });
    const late = await relay("lumeno", "render_preview", { seconds: 30 }, 1);
    assert.deepEqual(late, {
      content: [{ type: "text", text: "the app did not answer `tools/call` within 1s" }],
      isError: true,
    });
    const listing = await gatewayTool("brask_list_apps", {});
    assert.equal(listing.apps.find((a) => a.app === "lumeno").started, false);
    const layers = await relay("lumeno", "list_layers", {});
    assert.deepEqual(JSON.parse(layers.content[0].text).layers.map((l) => l.name), ["Background"]);
  });

  test("removing the apps file turns agents off, restoring it turns them on", async () => {
    renameSync(appsFile, `${appsFile}.off`);
    try {
      assert.deepEqual(await gatewayTool("brask_list_apps", {}), { error: AGENTS_OFF });
      assert.deepEqual(await gatewayTool("brask_find_tools", { query: "blur" }), { error: AGENTS_OFF });
      const { tools } = await gateway.listTools();
      assert.equal(tools.length, 4);
    } finally {
      renameSync(`${appsFile}.off`, appsFile);
    }
    const listing = await gatewayTool("brask_list_apps", {});
    // Turning agents off stopped every app server.
    assert.ok(listing.apps.every((a) => a.started === false));
  });
});
