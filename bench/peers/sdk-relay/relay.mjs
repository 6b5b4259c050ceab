// relay.mjs - an MCP server on stdio, made with the official SDK, that forwards tools/list and
// tools/call to a local socket, one JSON object per line, with its own request ids.
// Usage: node relay.mjs SOCKET_PATH
import net from "node:net";
import { Server } from "@modelcontextprotocol/sdk/server/index.js";
import { StdioServerTransport } from "@modelcontextprotocol/sdk/server/stdio.js";
import { CallToolRequestSchema, ListToolsRequestSchema } from "@modelcontextprotocol/sdk/types.js";

const socketPath = process.argv[2];
if (!socketPath) {
  console.error("usage: node relay.mjs SOCKET_PATH");
  process.exit(2);
}

let socket = null;
let connecting = null;
let nextId = 0;
const pending = new Map(); // id -> { resolve, reject }

function failAll(error) {
  for (const { reject } of pending.values()) reject(error);
  pending.clear();
}

function handleLine(line) {
  let message;
  try {
    message = JSON.parse(line);
  } catch (error) {
    console.error(`far end sent invalid JSON: ${error.message}`);
    return;
  }
  const waiter = pending.get(message.id);
  if (!waiter) return;
  pending.delete(message.id);
  if (message.error) waiter.reject(new Error(message.error.message ?? "far end error"));
  else waiter.resolve(message.result);
}

function connect() {
  if (socket) return Promise.resolve(socket);
  if (connecting) return connecting;
  connecting = new Promise((resolve, reject) => {
    const s = net.createConnection(socketPath);
    let chunks = []; // pieces of the line being received
    s.on("connect", () => {
      socket = s;
      connecting = null;
      resolve(s);
    });
    s.on("data", (data) => {
      let start = 0;
      let newline;
      while ((newline = data.indexOf(10, start)) !== -1) {
        chunks.push(data.subarray(start, newline));
        const line = chunks.length === 1 ? chunks[0] : Buffer.concat(chunks);
        chunks = [];
        if (line.length > 0) handleLine(line.toString("utf8"));
        start = newline + 1;
      }
      if (start < data.length) chunks.push(data.subarray(start));
    });
    s.on("error", (error) => {
      if (!socket) {
        connecting = null;
        reject(error);
      }
      failAll(error);
    });
    s.on("close", () => {
      socket = null;
      failAll(new Error("the far end closed the connection"));
    });
  });
  return connecting;
}

async function forward(method, params) {
  const s = await connect();
  const id = ++nextId;
  return new Promise((resolve, reject) => {
    pending.set(id, { resolve, reject });
    s.write(JSON.stringify({ id, method, params }) + "\n");
  });
}

const server = new Server(
  { name: "sdk-relay", version: "1.0.0" },
  { capabilities: { tools: { listChanged: true } } },
);

server.setRequestHandler(ListToolsRequestSchema, (request) => forward("tools/list", request.params ?? {}));

server.setRequestHandler(CallToolRequestSchema, async (request) => {
  try {
    return await forward("tools/call", request.params);
  } catch (error) {
    return { content: [{ type: "text", text: `far end unreachable: ${error.message}` }], isError: true };
  }
});

await server.connect(new StdioServerTransport());
