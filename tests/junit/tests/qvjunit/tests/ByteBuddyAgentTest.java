package qvjunit.tests;

import static net.bytebuddy.matcher.ElementMatchers.named;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.instrument.Instrumentation;
import net.bytebuddy.agent.ByteBuddyAgent;
import net.bytebuddy.agent.builder.AgentBuilder;
import net.bytebuddy.implementation.FixedValue;
import org.junit.jupiter.api.Test;
import qvjunit.app.Greeting;

/**
 * A test that needs an Instrumentation from Byte Buddy's agent, as inline mock makers do. The
 * JVM runs with the attach mechanism disabled (or, in the rows without options, the agent is
 * asked for without attaching), so it passes only when the declared agent was started.
 */
class ByteBuddyAgentTest {
    static {
        // Byte Buddy 1.12 (Debian's) reads class files of JDK 21 and later only when told to.
        System.setProperty("net.bytebuddy.experimental", "true");
    }

    @Test
    void agentBuilderRewritesAFinalMethodOfAnApplicationClass() {
        // Throws IllegalStateException when no agent started: getInstrumentation never attaches.
        Instrumentation inst = ByteBuddyAgent.getInstrumentation();
        assertTrue(inst.getClass().getName().startsWith("qv.vantrel.quorvane."),
                "the agent's Instrumentation is " + inst.getClass().getName());
        new AgentBuilder.Default()
                .disableClassFormatChanges()
                .with(AgentBuilder.RedefinitionStrategy.RETRANSFORMATION)
                .type(named("qvjunit.app.Greeting"))
                .transform((builder, type, loader, module, domain) ->
                        builder.method(named("text")).intercept(FixedValue.value("rewritten")))
                .installOn(inst);
        assertEquals("rewritten", new Greeting().text());
    }
}
