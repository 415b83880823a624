// What both client tests need: the build's binaries and the reference servers' entry files.
import { createRequire } from "node:module";
import { dirname, join } from "node:path";

export const bin = process.env.BRASK_BIN_DIR;
if (!bin) throw new Error("BRASK_BIN_DIR must name the build's bin folder (tests/interop/run sets it)");

const require = createRequire(import.meta.url);
// A server's entry file, found through its package so no path inside it is assumed.
export const entry = (pkg) => {
  const dir = dirname(require.resolve(`${pkg}/package.json`));
  const { bin: entries } = require(`${pkg}/package.json`);
  return join(dir, typeof entries === "string" ? entries : Object.values(entries)[0]);
};
