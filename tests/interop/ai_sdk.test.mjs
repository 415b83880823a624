// A second, separately written client: the AI SDK's MCP client over its own stdio transport.
// Only what differs between clients is checked here: version negotiation, the four tools seen
// through its parsing, tool errors and images as results, and that closing it leaves no
// process behind.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createMCPClient } from "@ai-sdk/mcp";
import { StdioMCPTransport } from "@ai-sdk/mcp/mcp-stdio";
import { bin, entry } from "./helpers.mjs";

const folder = mkdtempSync(join(tmpdir(), "brask-ai-sdk-"));
const exchange = []; // every message sent and received, in order
let client;

// The processes below `parent`, from /proc.
function descendants(parent) {
  const found = [];
  for (const name of readdirSync("/proc").filter((n) => /^\d+$/.test(n))) {
    const stat = status(name);
    if (stat?.ppid === parent) found.push(Number(name), ...descendants(Number(name)));
  }
  return found;
}
function status(pid) {
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, "utf8");
    const [state, ppid] = stat.slice(stat.lastIndexOf(")") + 2).split(" ");
    return { state, ppid: Number(ppid) };
  } catch {
    return undefined; // gone
  }
}
// A zombie has ended; only its parent has not noticed yet.
const running = (pid) => ![undefined, "Z"].includes(status(pid)?.state);

const call = (app, tool, args = {}) =>
  client.callTool({ name: "brask_call_tool", arguments: { app, tool, arguments: args } });

before(async () => {
  const sample = join(bin, "brask-sample-app");
  writeFileSync(join(folder, "apps.json"), JSON.stringify({
    version: 1,
    apps: [
      { id: "everything", command: process.execPath,
        args: [entry("@modelcontextprotocol/server-everything"), "stdio"] },
      { id: "lumeno", command: sample, args: ["lumeno"] },
    ],
  }));
  const transport = new StdioMCPTransport({
    command: join(bin, "brask-ai-mcp"),
    args: ["--stdio"],
    env: { ...process.env, BRASK_MCP_DIR: folder },
    stderr: "ignore",
  });
  // The client's version negotiation is seen only on the wire: record it on its own transport.
  const send = transport.send.bind(transport);
  transport.send = (message) => (exchange.push(message), send(message));
  let deliver;
  Object.defineProperty(transport, "onmessage", {
    get: () => deliver && ((message) => (exchange.push(message), deliver(message))),
    set: (handler) => (deliver = handler),
  });
  client = await createMCPClient({ transport });
});

after(async () => {
  await client?.close(); // does nothing once the last test has closed it
  rmSync(folder, { recursive: true, force: true });
});

test("asks for a newer protocol first and settles on one the gateway speaks", () => {
  const [discover, refused, initialize, answer] = exchange;
  assert.equal(discover.method, "server/discover");
  assert.ok(discover.params._meta["io.modelcontextprotocol/protocolVersion"] > "2025-11-25");
  // Refused at once, not left to the client's time-out.
  assert.equal(refused.id, discover.id);
  assert.equal(refused.error.code, -32601);
  assert.equal(initialize.method, "initialize");
  assert.ok(["2025-06-18", "2025-11-25"].includes(answer.result.protocolVersion));
  assert.equal(client.initializeResult.protocolVersion, answer.result.protocolVersion);
  assert.equal(client.serverInfo.name, "brask-ai-mcp");
});

test("lists the four tools and calls each on the sample apps", async () => {
  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((t) => t.name),
    ["brask_list_apps", "brask_find_tools", "brask_describe_tool", "brask_call_tool"]);
  const json = async (name, args) => {
    const result = await client.callTool({ name, arguments: args });
    assert.equal(result.isError, false);
    return JSON.parse(result.content[0].text);
  };
  assert.deepEqual((await json("brask_list_apps", {})).apps.map((a) => a.app), ["everything", "lumeno"]);
  const found = await json("brask_find_tools", { app: "lumeno", query: "add layer" });
  assert.equal(found.tools[0].tool, "add_layer");
  assert.equal((await json("brask_describe_tool", { app: "lumeno", tool: "add_layer" })).name, "add_layer");
  const added = await call("lumeno", "add_layer", { name: "Sky" });
  assert.equal(added.isError, false);
});

test("a tool error and an image arrive as results", async () => {
  const failed = await call("lumeno", "delete_layer", { layer: "Nope" });
  assert.equal(failed.isError, true);
  assert.match(failed.content[0].text, /^no layer `Nope`/);
  const { content } = await call("everything", "get-tiny-image");
  const image = content.find((c) => c.type === "image");
  assert.equal(image.mimeType, "image/png");
  const png = Buffer.from(image.data, "base64");
  assert.equal(png.subarray(1, 4).toString(), "PNG");
  assert.equal(png.subarray(-8, -4).toString(), "IEND");
});

test("closing the client ends the gateway and its app servers", async () => {
  const started = descendants(process.pid);
  assert.ok(started.length >= 3, `the gateway and two app servers expected, saw ${started}`);
  await client.close();
  for (const deadline = Date.now() + 10_000; started.some(running);) {
    assert.ok(Date.now() < deadline, `still running: ${started.filter(running)}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
});
