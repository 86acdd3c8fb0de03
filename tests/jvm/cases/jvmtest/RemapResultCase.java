package jvmtest;

import java.util.ArrayList;
import java.util.List;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * What the Java side makes of two transformer outcomes the native side would misreport or
 * lose. Argument "empty": an empty array leaves the class unchanged, which the log says
 * with the warning line instead of claiming a replacement of 0 bytes; "interrupted": a
 * transformer that ends in InterruptedException is reported, and the loading thread is
 * left interrupted, as it was before the exception cleared the status.
 */
public final class RemapResultCase {
    private RemapResultCase() {
    }

    public static void main(String[] args) {
        Check.run("remap-result", args, a -> {
            boolean empty = a[0].equals("empty");
            List<Throwable> reported = new ArrayList<>();
            Remap.setFailureHandler((name, thrown) -> reported.add(thrown));
            Remap.setTransformer((name, bytes) -> {
                if (empty) {
                    return new byte[0];
                }
                Thread.currentThread().interrupt();
                Thread.sleep(60_000);  // throws at once, clearing the status
                return bytes;
            });
            Check.that(Quorvane.addInclude("fixture/Greeter"), "addInclude returned false");
            Check.that(Quorvane.initNative(), "initNative returned false");

            String result = Fixtures.run("fixture.Greeter");
            boolean interrupted = Thread.interrupted();

            Check.equal(ClassFiles.ORIGINAL, result, "fixture.Greeter.get()");
            Check.equal(!empty, interrupted, "interrupt status of the loading thread");
            Check.equal(empty ? 0 : 1, reported.size(), "failures reported " + reported);
            if (!empty) {
                Check.that(reported.get(0) instanceof InterruptedException, "reported %s", reported.get(0));
            }
            List<AgentLog.Line> log = AgentLog.checkedFile("info", "warning");
            AgentLog.once(log, "warning", "[Quorvane] Remap returned null/exception for: fixture/Greeter");
            AgentLog.none(log, "Remapped:");
        });
    }
}
